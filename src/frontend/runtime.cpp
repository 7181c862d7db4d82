#include "vornex/frontend/runtime.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

#include "cord/text.hpp"
#include "vornex/core/secret.hpp"
#include "vornex/frontend/bundle.hpp"
#include "vornex/keychain/unlock.hpp"
#include "vornex/store/fs.hpp"

namespace vornex::frontend {

namespace {

using Material = core::InvitationMaterial;

// How every invitation text begins: its prefix and the separator.
constexpr std::string_view kInviteTextStart = "vrnx1";

// Wipes a plain byte buffer when it goes out of scope.
class WipeOnExit {
 public:
  explicit WipeOnExit(cord::Bytes& bytes) : bytes_(bytes) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { core::secure_wipe(bytes_.data(), bytes_.size()); }

 private:
  cord::Bytes& bytes_;
};

FrontendResult<Material> decode_cord(cord::ByteView bytes) {
  auto material = core::decode_invitation(bytes);
  if (!material) return std::unexpected(FrontendError(std::move(material).error()));
  return std::move(*material);
}

FrontendResult<Material> read_text(std::string_view text) {
  auto bytes = bundle::decode(text);
  if (!bytes) {
    if (bytes.error().failure == bundle::DecodeFailure::WrongPrefix) {
      return std::unexpected(FrontendError::wrong_invite_prefix(std::move(bytes.error().prefix)));
    }
    return std::unexpected(FrontendError::of(FrontendError::Kind::MalformedInvite));
  }
  return decode_cord(bytes->view());
}

// `shown` is what a failure names: the path, or what stands in for it.
FrontendResult<Material> read_file(const Path& path, const Path& shown) {
  // The C API would end the path at the NUL and open another file.
  if (path.native().find('\0') != Path::string_type::npos) {
    return std::unexpected(FrontendError::io_at(shown, store::IoError::invalid_input("path contains a NUL byte")));
  }
  auto content = store::read_file_bounded(path, kInviteFileLimit);
  if (!content) return std::unexpected(FrontendError::io_at(shown, std::move(content).error()));
  const WipeOnExit wipe(*content);
  return decode_invite_bytes(*content);
}

// The value of a variable; none when unset or when the name is one that
// getenv would misread (cut at a NUL, or split at '=').
std::optional<SecretText> lookup(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos || name.find('=') != std::string_view::npos) {
    return std::nullopt;
  }
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return SecretText(value);
}

}  // namespace

FrontendResult<Material> decode_invite_bytes(cord::ByteView bytes) {
  const auto magic = cord::text_bytes(kInviteMagic);
  if (bytes.size() < magic.size() || !std::ranges::equal(bytes.first(magic.size()), magic)) {
    return std::unexpected(FrontendError::of(FrontendError::Kind::MalformedInvite));
  }
  return decode_cord(bytes.subspan(magic.size()));
}

FrontendResult<Material> read_invite(std::optional<std::string_view> text, std::optional<Path> file) {
  if (text.has_value() == file.has_value()) {
    return std::unexpected(FrontendError::of(FrontendError::Kind::InviteFormCount));
  }
  return text ? read_text(*text) : read_file(*file, *file);
}

bool is_invite_text(std::string_view value) {
  // Any case, and blanks around it, as the text form is read.
  std::string_view head = value.substr(std::min(value.find_first_not_of(" \t\r\n"), value.size()));
  head = head.substr(0, kInviteTextStart.size());
  return std::ranges::equal(head, kInviteTextStart, [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

std::string shown_invite_path(std::string_view variable, std::string_view value) {
  if (!is_invite_text(value)) return store::display(Path(std::string(value)));
  return "the path in " + std::string(variable) + ", which holds an invitation text rather than a path";
}

InviteVariables InviteVariables::read(std::string_view text_name, std::string_view file_name) {
  InviteVariables out{std::string(text_name), std::string(file_name), lookup(text_name), lookup(file_name), {}};
  if (out.file) {
    // An empty value stays empty: it names no file, and reading it says so.
    const Path given(out.file->text());
    out.file_path = given.empty() ? given : store::absolute_path(given);
  }
  return out;
}

FrontendResult<std::optional<Material>> ci_invite_from(const InviteVariables& variables) {
  const auto& text = variables.text;
  if (text && !cord::text::is_utf8(text->text())) {
    return std::unexpected(FrontendError::env_not_utf8(variables.text_name));
  }
  // A path need not be UTF-8.
  const auto& file = variables.file;
  if (text && file) return std::unexpected(FrontendError::of(FrontendError::Kind::InviteFormCount));
  if (!text && !file) return std::optional<Material>();
  FrontendResult<Material> material =
      text ? read_invite(text->text(), std::nullopt)
           : read_file(*variables.file_path, Path(shown_invite_path(variables.file_name, file->text())));
  if (!material) return std::unexpected(std::move(material).error());
  return std::optional<Material>(std::move(*material));
}

FrontendResult<std::optional<Material>> ci_invite_from(std::string_view text_variable, std::string_view file_variable) {
  return ci_invite_from(InviteVariables::read(text_variable, file_variable));
}

FrontendResult<std::optional<Material>> ci_invite() { return ci_invite_from(InviteVariables::read_default()); }

FrontendResult<std::optional<core::UserId>> ci_identity_user(const crypto::Crypto& crypto) {
  return ci_identity_user(InviteVariables::read_default(), crypto);
}

FrontendResult<std::optional<core::UserId>> ci_identity_user(const InviteVariables& variables,
                                                             const crypto::Crypto& crypto) {
  auto invite = ci_invite_from(variables);
  if (!invite) return std::unexpected(std::move(invite).error());
  if (!*invite) return std::optional<core::UserId>();
  const auto provider = keychain::FixedIdentityProvider::from_master_seed(crypto, (*invite)->master_seed.view());
  if (!provider) return std::unexpected(FrontendError(provider.error()));
  return std::optional<core::UserId>(provider->user_id());
}

}  // namespace vornex::frontend
