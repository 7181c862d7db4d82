#include "vornex/frontend/user.hpp"

#include <cctype>

#include "vornex/core/handles.hpp"
#include "vornex/frontend/runtime.hpp"
#include "vornex/keychain/files.hpp"

namespace vornex::frontend {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool starts_with_0x(std::string_view text) { return text.size() >= 2 && text[0] == '0' && text[1] == 'x'; }

}  // namespace

FrontendResult<cord::Bytes> decode_hex(std::string_view text, std::string_view label) {
  if (starts_with_0x(text)) text.remove_prefix(2);
  if (text.size() % 2 != 0) return std::unexpected(FrontendError::invalid_hex("odd length", std::string(label)));
  cord::Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    if (high < 0 || low < 0) return std::unexpected(FrontendError::invalid_hex("non-hex character", std::string(label)));
    out.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return out;
}

FrontendResult<std::string> parse_handle_name(std::string_view text) {
  std::string_view rest = text;
  if (!rest.empty() && rest.front() == '@') rest.remove_prefix(1);
  std::string handle = core::normalize_handle(rest);
  if (!core::is_valid_handle(handle)) {
    return std::unexpected(FrontendError::invalid_user_handle(std::string(text), std::string(ops::kInvalidHandleReason)));
  }
  return handle;
}

FrontendResult<ops::UserRef> parse_user_ref(std::string_view text) {
  if (!text.empty() && text.front() == '@') {
    auto handle = parse_handle_name(text.substr(1));
    if (!handle) return std::unexpected(std::move(handle).error());
    return ops::UserRef{ops::user_ref::Handle{std::move(*handle)}};
  }
  if (auto bytes = decode_hex(text, kUserIdLabel); bytes && bytes->size() == 32) {
    return ops::UserRef{ops::user_ref::Id{core::UserId(core::HashValue(std::move(*bytes)))}};
  }
  auto handle = parse_handle_name(text);
  if (!handle) return std::unexpected(std::move(handle).error());
  return ops::UserRef{ops::user_ref::Handle{std::move(*handle)}};
}

std::optional<std::string> normalize_hex_prefix(std::string_view text) {
  if (starts_with_0x(text)) text.remove_prefix(2);
  if (text.size() < kMinUserIdPrefixDigits) return std::nullopt;
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (hex_value(c) < 0) return std::nullopt;
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

FrontendResult<std::optional<std::pair<std::string, std::string>>> stored_default_user(
    cord::ByteView root, const store::ProcessFacts& facts) {
  using Out = std::optional<std::pair<std::string, std::string>>;
  auto base = keychain::default_base_dir(facts);
  if (!base) return std::unexpected(FrontendError(std::move(base).error()));
  auto current = keychain::read_current_user(*base, root, {}, facts);
  if (!current) return std::unexpected(FrontendError(std::move(current).error()));
  if (!*current) return Out();
  std::string id = hex_bytes((*current)->user);
  std::string display = (*current)->selector.value_or(id);
  return Out(std::pair{std::move(id), std::move(display)});
}

std::optional<ops::NamedUser> named_user_of(std::optional<std::string_view> reference,
                                            const InviteVariables& unattended, const crypto::Crypto& crypto) {
  if (!reference) {
    auto invited = ci_identity_user(unattended, crypto);
    if (!invited || !*invited) return std::nullopt;
    return ops::NamedUser{ops::user_ref::Id{**invited}};
  }
  const std::string_view text = *reference;
  if (is_invite_text(text)) return std::nullopt;
  if (text.empty() || text.front() != '@') {
    if (auto prefix = normalize_hex_prefix(text); prefix && prefix->size() < kUserIdHexDigits) {
      return ops::NamedUser{ops::named_user::IdPrefix{std::move(*prefix)}};
    }
  }
  auto parsed = parse_user_ref(text);
  if (!parsed) return std::nullopt;
  return std::visit([](auto&& r) { return ops::NamedUser{std::move(r)}; }, std::move(*parsed));
}

FrontendResult<ops::ResolvedUserRef> resolve_cli_user_ref_in_report(const core::validate::EffectiveState& state,
                                                                    const core::CryptoProvider& crypto,
                                                                    std::string_view text) {
  // An invitation given as the user is no handle, and its seed is not shown.
  if (is_invite_text(text)) {
    return std::unexpected(
        FrontendError::invalid_user_handle(std::string(kInviteTextShown), std::string(ops::kInvalidHandleReason)));
  }
  std::optional<ops::UserRef> reference;
  if (text.empty() || text.front() != '@') {
    if (const auto prefix = normalize_hex_prefix(text); prefix && prefix->size() < kUserIdHexDigits) {
      const core::UserId* match = nullptr;
      for (const auto& [id, record] : state.users) {
        if (!hex_bytes(id.bytes()).starts_with(*prefix)) continue;
        if (match != nullptr) return std::unexpected(FrontendError::ambiguous_user(std::string(text)));
        match = &id;
      }
      if (match == nullptr) return std::unexpected(FrontendError::unknown_user(std::string(text)));
      reference = ops::UserRef{ops::user_ref::Id{*match}};
    }
  }
  if (!reference) {
    auto parsed = parse_user_ref(text);
    if (!parsed) return std::unexpected(std::move(parsed).error());
    reference = std::move(*parsed);
  }
  auto resolved = ops::resolve_user_ref(state, crypto, *reference);
  if (!resolved) return std::unexpected(FrontendError(std::move(resolved).error()));
  return std::move(*resolved);
}

FrontendResult<CliUser> resolve_cli_user_ref_with_report(const core::validate::EffectiveState& state,
                                                         const crypto::Crypto& crypto,
                                                         std::optional<std::string_view> reference,
                                                         const store::ProcessFacts& facts,
                                                         const InviteVariables& unattended) {
  const auto missing_root = [] { return FrontendError(ops::OpsError::of(ops::OpsError::Kind::MissingEffectiveRoot)); };
  std::string text;
  if (reference) {
    text = std::string(*reference);
  } else {
    if (!state.root_fingerprint) return std::unexpected(missing_root());
    auto stored = stored_default_user(state.root_fingerprint->bytes(), facts);
    if (!stored) return std::unexpected(std::move(stored).error());
    if (*stored) {
      text = std::move((*stored)->first);
    } else {
      auto invited = ci_identity_user(unattended, crypto);
      if (!invited) return std::unexpected(std::move(invited).error());
      if (!*invited) return std::unexpected(FrontendError::of(FrontendError::Kind::NoDefaultIdentity));
      text = hex_bytes((*invited)->bytes());
    }
  }
  auto resolved = resolve_cli_user_ref_in_report(state, crypto, text);
  if (!resolved) return std::unexpected(std::move(resolved).error());
  if (!state.root_fingerprint) return std::unexpected(missing_root());
  return CliUser{std::move(resolved->user_id), std::move(resolved->handle), state.root_fingerprint->to_vec(),
                 reference.has_value()};
}

}  // namespace vornex::frontend
