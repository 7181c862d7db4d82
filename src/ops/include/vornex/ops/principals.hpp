// Users and vaults named by their handles, over a validated vault's state.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "vornex/core/crypto.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/ops/error.hpp"

namespace vornex::ops {

inline constexpr std::string_view kInvalidHandleReason =
    "handle must be 1\u201364 chars of a\u2013z, 0\u20139, '-', '_', starting and ending with a letter or digit";

// A user named by a 32-byte id or by a handle text.
namespace user_ref {
struct Id {
  core::UserId id;
  bool operator==(const Id&) const = default;
};
struct Handle {
  std::string text;
  bool operator==(const Handle&) const = default;
};
}  // namespace user_ref
using UserRef = std::variant<user_ref::Id, user_ref::Handle>;

struct ResolvedUserRef {
  core::UserId user_id;
  std::optional<std::string> handle;  // normalised
  bool operator==(const ResolvedUserRef&) const = default;
};

OpsResult<ResolvedUserRef> resolve_user_ref(const core::validate::EffectiveState& state,
                                            const core::CryptoProvider& crypto, const UserRef& reference);

// The handle that labels the vault, and a user: the smallest normalised
// handle in byte order, the first in key order among equals.
const core::VaultHandleRecordV1* primary_vault_handle(const core::validate::EffectiveState& state);
const core::UserHandleRecordV1* primary_handle_for_user(const core::validate::EffectiveState& state,
                                                        const core::UserId& user);

}  // namespace vornex::ops
