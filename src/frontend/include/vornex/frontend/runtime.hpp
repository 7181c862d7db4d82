// Invitations as they reach the front end: text (the bundle form, no
// magic), bytes or a file (the binary form: magic, then the Cord bytes), or
// the environment of an unattended run. Every buffer that held the decoded
// bytes is wiped before it is released, on success and failure alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "cord/wire.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/invite.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/frontend/error.hpp"
#include "vornex/frontend/secret_text.hpp"

namespace vornex::frontend {

// Unsafe by name: the value is the invitee's master seed in plain sight.
inline constexpr std::string_view kInviteEnv = "VORNEX_UNSAFE_INVITE";
inline constexpr std::string_view kInviteFileEnv = "VORNEX_UNSAFE_INVITE_FILE";

// "vornex-invite" and a zero byte.
inline constexpr std::string_view kInviteMagic{"vornex-invite\0", 14};
inline constexpr std::uint64_t kInviteFileLimit = 0x10100000;

// The binary form.
FrontendResult<core::InvitationMaterial> decode_invite_bytes(cord::ByteView bytes);

// Exactly one of the text form and the path of a file in the binary form.
FrontendResult<core::InvitationMaterial> read_invite(std::optional<std::string_view> text, std::optional<Path> file);

// Whether `value` is, or begins as, an invitation's text (in any case, with
// blanks around it): it carries a seed, so no message shows it.
bool is_invite_text(std::string_view value);
// What a message shows where such a value was given for something else.
inline constexpr std::string_view kInviteTextShown = "vrnx1\u2026";

// How a path read from `variable` is shown in a message: the path itself,
// unless the value is an invitation's text (set in the wrong variable), whose
// seed must not reach a message or a log; then the variable is named instead.
std::string shown_invite_path(std::string_view variable, std::string_view value);

// The two variables an invitation may be given in, as the environment held
// them when read: an opening reads them once, before it runs without the
// interpreter lock, while other threads may change the environment. Values
// are kept as they were set (the text need not be UTF-8; the path is any
// bytes) and wiped when dropped: the text carries a seed.
struct InviteVariables {
  std::string text_name;
  std::string file_name;
  std::optional<SecretText> text;
  std::optional<SecretText> file;
  // The file's path made absolute when read, which is what is opened: the
  // current directory may change before. Messages show `file` as set.
  std::optional<Path> file_path;

  // A name that is empty or holds NUL or '=' counts as unset: getenv cannot
  // look it up faithfully.
  static InviteVariables read(std::string_view text_name, std::string_view file_name);
  // The two default variables.
  static InviteVariables read_default() { return read(kInviteEnv, kInviteFileEnv); }
};

// The invitation the variables hold; none when neither is set.
FrontendResult<std::optional<core::InvitationMaterial>> ci_invite_from(const InviteVariables& variables);
// The same, read from the environment now.
FrontendResult<std::optional<core::InvitationMaterial>> ci_invite_from(std::string_view text_variable,
                                                                       std::string_view file_variable);
FrontendResult<std::optional<core::InvitationMaterial>> ci_invite();

// The user id of the invitation the variables hold; none without one.
FrontendResult<std::optional<core::UserId>> ci_identity_user(const InviteVariables& variables,
                                                             const crypto::Crypto& crypto);
// The same for the default variables, read from the environment now.
FrontendResult<std::optional<core::UserId>> ci_identity_user(const crypto::Crypto& crypto);

}  // namespace vornex::frontend
