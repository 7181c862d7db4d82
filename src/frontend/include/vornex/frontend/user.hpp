// User references: the user whose identity opens a vault from the
// keychain, named by handle, id or id prefix, or chosen by default (the
// keychain's current user of the vault, else the unattended invitation's).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vornex/core/crypto.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/frontend/error.hpp"
#include "vornex/frontend/runtime.hpp"
#include "vornex/ops/principals.hpp"
#include "vornex/ops/session.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::frontend {

inline constexpr std::string_view kUserIdLabel = "user ID";
inline constexpr std::size_t kUserIdHexDigits = 64;
inline constexpr std::size_t kMinUserIdPrefixDigits = 8;

struct CliUser {
  core::UserId user_id;
  std::optional<std::string> handle;  // the primary handle, normalised
  cord::Bytes root_fingerprint;
  bool explicit_reference = false;
};

FrontendResult<cord::Bytes> decode_hex(std::string_view text, std::string_view label);
FrontendResult<std::string> parse_handle_name(std::string_view text);
FrontendResult<ops::UserRef> parse_user_ref(std::string_view text);
// At least 8 hexadecimal digits after an optional "0x", lower-cased.
std::optional<std::string> normalize_hex_prefix(std::string_view text);

// The keychain's current user of the vault root: its id in hexadecimal and
// the text to show for it. The keychain is the one `facts` name.
FrontendResult<std::optional<std::pair<std::string, std::string>>> stored_default_user(
    cord::ByteView root, const store::ProcessFacts& facts = store::ProcessFacts::read());

FrontendResult<ops::ResolvedUserRef> resolve_cli_user_ref_in_report(const core::validate::EffectiveState& state,
                                                                    const core::CryptoProvider& crypto,
                                                                    std::string_view text);
// The user that resolve_cli_user_ref_with_report would name, as far as the
// text tells before the vault is read (an id, an id prefix or a handle);
// without a reference, the unattended invitation's user. None where the
// text names nothing, or an invitation text. For the load's guess at whose
// verification cache to trust (ops::NamedUser).
std::optional<ops::NamedUser> named_user_of(std::optional<std::string_view> reference,
                                            const InviteVariables& unattended, const crypto::Crypto& crypto);

// The user `reference` names, else the keychain's current user of the root,
// else the user of the invitation in the default variables; `facts` and
// `unattended` as the opening read them.
FrontendResult<CliUser> resolve_cli_user_ref_with_report(const core::validate::EffectiveState& state,
                                                         const crypto::Crypto& crypto,
                                                         std::optional<std::string_view> reference,
                                                         const store::ProcessFacts& facts,
                                                         const InviteVariables& unattended);

}  // namespace vornex::frontend
