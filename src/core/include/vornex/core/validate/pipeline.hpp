// The validation pipeline: from a decoded vault and the user's trust state
// to a validation report.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>

#include "cord/codec.hpp"
#include "cord/set.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/merge.hpp"
#include "vornex/core/validate/report.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/core/validate/vault_file.hpp"

namespace vornex::core::validate::pipeline {

// The self-signed vault root that matches the trusted root.
struct SelectedRoot {
  UserId user_id;
  cord::Bytes hpke_public_key;
  cord::Bytes signing_public_key;
  HashValue fingerprint;  // key hash of the signing key
  bool operator==(const SelectedRoot&) const = default;
};

}  // namespace vornex::core::validate::pipeline

namespace vornex::core::validate {

// Record hashes whose signatures an earlier validation already checked.
using VerifiedHashes = std::set<HashValue>;

// Gates the remembered format version, then runs the version-1 pipeline;
// the first clean validation teaches the trust state version 1.
CoreResult<ValidationReport> validate_vault_with_verified(const cord::Set<VaultRecordV1>& vault,
                                                          const Ratchet& ratchet, const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified);
// The same over records already hashed when their file was decoded.
CoreResult<ValidationReport> validate_vault_with_verified(std::span<const HashedRecord> vault, const Ratchet& ratchet,
                                                          const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified);
// The same, consuming the records: the verified ones move into the report.
CoreResult<ValidationReport> validate_vault_with_verified(std::vector<HashedRecord>&& vault, const Ratchet& ratchet,
                                                          const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified);
// The same with the verified hashes as a list, used in place when it is
// strictly ascending (a verification cache's, say) and as its set otherwise.
CoreResult<ValidationReport> validate_vault_with_verified_list(std::vector<HashedRecord>&& vault,
                                                               const Ratchet& ratchet, const CryptoProvider& crypto,
                                                               std::span<const HashValue> verified);
CoreResult<ValidationReport> validate_vault(const cord::Set<VaultRecordV1>& vault, const Ratchet& ratchet,
                                            const CryptoProvider& crypto);

// The pipeline of format version 1; it never looks at the remembered
// format version.
CoreResult<ValidationReport> validate_v1(const cord::Set<VaultRecordV1>& vault, const Ratchet& ratchet,
                                         const CryptoProvider& crypto, const VerifiedHashes& verified);

// What the admitted records may raise the trust state to.
struct Watermarks {
  RatchetCounters counters;  // highest admitted counter per key
  RatchetOrigins origins;    // of the first admitted record with one
  bool operator==(const Watermarks&) const = default;
};

// The watermark of one key as admitted_watermarks finds it: the highest
// admitted counter, and the first admitted record (in slice order) of a
// kind that names the key's origin. Both point into the records given, so
// that a vault's worth of keys and selectors is not copied only to find
// that the trust state holds them already.
struct Mark {
  const RecordKey* key;
  std::uint64_t counter = 0;
  const VerifiedRecord* origin = nullptr;
};
using Marks = std::vector<Mark>;  // ascending by key, one per key

// The step that decides which records may raise the trust state: each
// record admitted by its signer's authority in `state` (the state without
// a rollback floor), a principal deletion when `admitted_deletions` holds
// it. Valid while `records` are.
Marks admitted_watermarks(std::span<const VerifiedRecord> records, const EffectiveState& state,
                          const std::set<HashValue>& admitted_deletions);
// The marks as counters and origins, every key's.
Watermarks watermarks_of(const Marks& marks);

}  // namespace vornex::core::validate
