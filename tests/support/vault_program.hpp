// A small program language that builds a vault, so that a fuzzer can reach
// the shapes a hostile member may write from a few bytes, and a test can
// replay what it found. Every byte string is a program: instructions are
// read one after another, each an opcode byte (taken modulo the number of
// opcodes) and its operands; an operand past the end reads as 0, and counts
// and references are taken modulo what exists. Output stops quietly at
// kProgramMaxRecords records or kProgramMaxBytes bytes, and the program at
// kProgramMaxSteps instructions run or once its operands have made as much
// text as the output may hold.
//
// Operands, one byte each unless said:
//   num       low 3 bits the index mode, high 5 the base (31: a 16-bit base
//             follows, little endian); the value is the base plus, by mode:
//             nothing, t, r, K-1-t, the outer t, the outer r, K, t/2 — where
//             t counts the iterations of the innermost REPEAT, r the
//             instructions it ran, K its iteration count.
//   text      low 5 bits a word of a fixed table, high 3 a suffix: none, t,
//             r, K-1-t, the outer t, t in six digits, r in six digits, t/2.
//   user      a num: 0 the root, u the table's user u (modulo its size).
//   principal a byte (bit 0: a group) and a num: the user, or group g<num>.
//   path      a count byte (modulo 6) and as many texts.
//   labels    a count byte (modulo 8) and as many matchers: a byte (bits 0-1
//             Present/Equals/In/Absent, bit 2: a range of keys, whose
//             16-bit count follows), the key text (a range appends six-digit
//             numbers), then for Equals a text and for In a list: a count
//             byte (modulo 4), as many texts, a word text and a 16-bit count
//             of word<number> values. Sorted by key and deduplicated unless
//             the selector says otherwise.
//   selector  a byte (modulo 3: Any/Exact/Prefix; bit 7: labels as
//             written), the path unless Any, the labels.
//   permission a byte (modulo 4: Read/Write/Manage/Root), the selector unless
//             Root, for Manage a byte of grantable classes (bits 0-2).
//   ref       a byte (bit 0: counted from the first record, else from the
//             newest) and a num.
//   counter   a num.
//
// Instructions:
//   User signer user counter        the user's record and, once, its entry point
//   Group signer num counter        group g<num>
//   Member signer num principal counter
//   Grant signer text principal permission counter   grant of seed text
//   DeleteOf signer ref counter     deletes the referenced record's target
//                                   (counter 0: the target's counter + 1)
//   Deleted kind signer ...         a deletion by name (kind modulo 5):
//                                   grant text permission, member num
//                                   principal, group num, user user, secret
//                                   path labels; then the counter
//   Rewrite signer ref counter permission   the referenced record again with
//                                   another body (a grant takes the permission)
//   Secret signer path labels counter       a secret with a fixed payload
//   Repeat count length             runs the next 1 + length%8 instructions
//                                   count times (a byte: below 128, 1 + it;
//                                   else 1 + a 15-bit count with the next)
//   Seen ref counter                the trust state has seen the record's key
//                                   at the counter (a rollback floor)
//   Spoil ref                       the record's signature is broken
//   Order mode                      at the end: as built, reversed, by hash
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vault_builder.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"

namespace vornex::test {

inline constexpr std::size_t kProgramMaxRecords = 20'000;
inline constexpr std::size_t kProgramMaxBytes = std::size_t{2} << 20;
inline constexpr std::size_t kProgramMaxSteps = 2 * kProgramMaxRecords;
// The words a text operand names; vault_program_writer.hpp names them too.
inline constexpr std::array<std::string_view, 32> kProgramWords = {
    "",   "team", "b",  "c",   "x",    "q",   "s",   "l", "v", "w", "k", "a", "z", "e", "1", "a0",
    "a1", "a2",   "a3", "env", "prod", "dev", "app", "d", "n", "g", "u", "p", "m", "r", "y", "o"};
// Users the programs name; user u is the builder's identity of seed u + 1.
inline constexpr std::size_t kProgramUsers = 128;

// The bound the performance fuzzer enforces: validation's counted work is
// at most this much per record and byte of the vault. With every phase
// counted, plain vaults of 400 to 6,400 records measure at most 0.31
// (labelled grants with In lists; 0.09-0.12 without labels) and the hostile
// shapes at most 0.67 (one long In list). One selector of tens of thousands
// of one-letter labels, looked through in each iteration its question is
// asked again, measured 2.0 (find-1 in the corpus): a linear cost, but one
// per iteration, of which there may be up to 64. The bound leaves four
// times that; a cost that grows faster than the vault passes any fixed
// bound as the fuzzer grows its input.
inline constexpr double kWorkPerRecordOrByte = 8.0;

enum class ProgramOp : std::uint8_t {
  User,
  Group,
  Member,
  Grant,
  DeleteOf,
  Deleted,
  Rewrite,
  Secret,
  Repeat,
  Seen,
  Spoil,
  Order,
};
inline constexpr std::size_t kProgramOpCount = 12;

// Real Ed25519 signatures, or placeholders that only a verified-hash set
// can admit (the fuzzer's choice: the signatures are not what it tests).
enum class ProgramSignatures : std::uint8_t { Real, Placeholder };

struct ProgramVault {
  std::vector<core::validate::HashedRecord> records;  // distinct, root first unless reordered
  core::validate::VerifiedHashes verified;            // every record not spoiled
  core::Ratchet trust = core::Ratchet::make({});      // the root, format version 1, any Seen
  std::size_t bytes = 0;                              // the records' encodings, added up
};

ProgramVault run_vault_program(std::span<const std::uint8_t> program, const VaultBuilder& b = shared_builder(),
                               ProgramSignatures signatures = ProgramSignatures::Real);

inline std::uint64_t work_bound(const ProgramVault& vault) {
  return static_cast<std::uint64_t>(kWorkPerRecordOrByte * static_cast<double>(vault.records.size() + vault.bytes));
}

}  // namespace vornex::test
