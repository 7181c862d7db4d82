// Building signed records. The constructors sign whatever they are given:
// authority, counters and structure are the caller's to check before and
// validation's to enforce after. A signature covers the body's evolving
// encoding under the domain "vornex.signed.v1".
#pragma once

#include <cstdint>
#include <unordered_set>

#include "vornex/core/crypto.hpp"
#include "vornex/core/hazmat.hpp"
#include "vornex/core/records.hpp"
#include "vornex/crypto/identity.hpp"

namespace vornex::crypto {

// The records of one vault in memory, compared by structure.
using RecordSet = std::unordered_set<core::VaultRecordV1>;

// The user id derived from the signer's public keys, or IdentityMismatch
// when the identity states another.
core::HazmatResult<core::UserId> ensure_identity_consistent(const core::CryptoProvider& provider,
                                                            const Identity& signer);

// The body in an envelope signed by `signer`.
core::HazmatResult<core::VaultRecordV1> signed_payload(const core::CryptoProvider& provider, const Identity& signer,
                                                       core::RecordBodyV1 body);

// A new sealed value of the secret `selector` names; its secret id is
// derived from the selector.
core::HazmatResult<core::VaultRecordV1> secret_record(const core::CryptoProvider& provider, const Identity& signer,
                                                      core::SecretSelectorV1 selector, core::StoredPayloadV1 payload,
                                                      std::uint64_t counter);

// The deletion of that secret; it carries the same secret id.
core::HazmatResult<core::VaultRecordV1> secret_deleted_record(const core::CryptoProvider& provider,
                                                              const Identity& signer,
                                                              core::SecretSelectorV1 selector,
                                                              std::uint64_t counter);

// Adds the record; an equal one already there leaves the set unchanged.
void append_record(RecordSet& records, core::VaultRecordV1 record);

}  // namespace vornex::crypto
