// The report of a vault one secret write larger, derived from the report of
// the vault before it instead of a full validation. A write path adds one
// Secret or SecretDeleted record to a vault it has just validated; when that
// record provably changes nothing but its own secret's entry, the new report
// is the old one with the record filed in. Every case where that cannot be
// shown is left to the full validation, so results never differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "vornex/core/crypto.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/report.hpp"

namespace vornex::core::validate {

// What `extend_with_secret_write` changed, so that a write that fails to
// commit can put the report back as it was.
struct SecretWriteUndo {
  std::size_t position = 0;  // of the new record in `effective.records`
  SecretId secret_id;
  std::optional<std::pair<std::size_t, std::size_t>> latest;  // the secret's entry before
  std::optional<std::uint64_t> highest_counter;
  RatchetUpdate ratchet_update;
};

// Files `record` (with its record hash and canonical encoding) into
// `report`, turning the report of a vault V validated against ratchet R
// into the report that validating V plus the record against
// `ratchet` = R raised by the report's update would give (the verified
// hashes being those of V's report). Returns none, with the report
// untouched, unless all of these hold:
// - the report is clean: no issue, no warning, no conflict, not blocked
//   (so every record of V is in it, in file order, and no rollback floor
//   was in force);
// - `ratchet_follows_report`: the caller's `ratchet` is R raised by the
//   report's update, nothing more;
// - the record is a well-formed Secret or SecretDeleted record, with a
//   good signature, whose key some record of V already shows belongs to a
//   user who may write the selector, and whose counter is above every
//   admitted counter.
// Such a record takes no part in authority, deletions or crediting, and it
// wins its secret alone.
CoreResult<std::optional<SecretWriteUndo>> extend_with_secret_write(ValidationReport& report, const Ratchet& ratchet,
                                                                    bool ratchet_follows_report,
                                                                    const VaultRecordV1& record, const HashValue& hash,
                                                                    cord::ByteView encoding,
                                                                    const CryptoProvider& crypto);

// Puts the report back as it was before the extension `undo` describes.
void undo_secret_write(ValidationReport& report, SecretWriteUndo undo);

// How many reports this thread has derived: tests see by it which way a
// write went.
std::uint64_t secret_writes_derived() noexcept;

}  // namespace vornex::core::validate
