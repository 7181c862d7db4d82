// Handles: the readable names of users and vaults, and the ids computed
// from them. Ids are taken over the normalised text, so " Bob" and "bob"
// name the same user.
#pragma once

#include <string>
#include <string_view>

#include "vornex/core/crypto.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"

namespace vornex::core {

// Strips Unicode white space from both ends and lower-cases ASCII letters
// only; inner characters and non-ASCII letters stay. Works on the UTF-8
// bytes and never fails; text that is not UTF-8 is left for the encoder to
// refuse.
std::string normalize_handle(std::string_view handle);

// 1 to 64 bytes of a-z, 0-9, '_' and '-', beginning and ending with a
// letter or digit. Expects normalised text; nothing is normalised here.
bool is_valid_handle(std::string_view handle);

// Normalise, then hash the Cord string. Validity is the caller's check.
CoreResult<UserHandleId> derive_user_handle_id(const CryptoProvider& provider, std::string_view handle);
CoreResult<VaultHandleId> derive_vault_handle_id(const CryptoProvider& provider, std::string_view handle);

}  // namespace vornex::core
