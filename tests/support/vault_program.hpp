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
//   user      a num: with a base below kNumberedUserBase, 0 the root and
//             u the builder's user u (modulo 129); with a base from it on,
//             the numbered users past those, base - kNumberedUserBase +
//             index (modulo kNumberedUsers), whose keys are derived once a
//             process.
//   principal a byte (bit 0: a group) and a num: the user, or group g<num>.
//   path      a count byte (modulo 6) and as many texts, or, for a count
//             byte 0xC0-0xCF, a deep path: (byte & 7) head texts, a num n,
//             a text repeated n times (at most kProgramMaxDepth), and with
//             bit 3 a tail text.
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

// Room for costs that grow faster than the vault to pass the bound many
// times over (the label-matching ones pass it from about 300 records), and
// for the kept finds (one of 570 KB); larger vaults only slow the fuzzer.
inline constexpr std::size_t kProgramMaxRecords = 4'096;
inline constexpr std::size_t kProgramMaxBytes = std::size_t{1} << 20;
inline constexpr std::size_t kProgramMaxSteps = 40'000;
// The words a text operand names; vault_program_writer.hpp names them too.
inline constexpr std::array<std::string_view, 32> kProgramWords = {
    "",   "team", "b",  "c",   "x",    "q",   "s",   "l", "v", "w", "k", "a", "z", "e", "1", "a0",
    "a1", "a2",   "a3", "env", "prod", "dev", "app", "d", "n", "g", "u", "p", "m", "r", "y", "o"};
// Users the programs name: user u up to kBuilderUsers is the builder's
// identity of seed u + 1, the ones above it numbered identities, which a
// num whose base is kNumberedUserBase and more names (a wide base with its
// top bit set).
inline constexpr std::size_t kBuilderUsers = 128;
inline constexpr std::size_t kNumberedUsers = 4096;
inline constexpr std::size_t kProgramUsers = kBuilderUsers + kNumberedUsers;
inline constexpr std::uint64_t kNumberedUserBase = 0x8000;
// Segments of a deep path, at most.
inline constexpr std::size_t kProgramMaxDepth = 512;

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

// Where a program's parts are, for a mutator that edits it by structure.
enum class ProgramSiteKind : std::uint8_t {
  Instruction,  // op is the instruction's opcode
  RepeatCount,  // the count of a Repeat, one or two bytes
  Num,
  Text,
  Path,
  Labels,
  Matcher,
  ListCount,  // the 16-bit count of an In list's numbered values
  KeyCount,   // the 16-bit count of a range of keys
  Permission,
};
struct ProgramSite {
  ProgramSiteKind kind;
  ProgramOp op = ProgramOp::Order;  // of an Instruction
  std::uint32_t begin = 0;          // bytes [begin, end) of the program
  std::uint32_t end = 0;
  std::uint32_t depth = 0;  // nesting: an instruction's operands lie one deeper
};

// Reads a program once without building anything (each repeat's body
// once) and lists its parts in the order they are read; parts that would
// read past the end are cut at it or left out.
std::vector<ProgramSite> map_vault_program(std::span<const std::uint8_t> program);

// The numbered user u of a program (the root for 0), derived once a process.
const crypto::Identity& program_user(const VaultBuilder& b, std::size_t u);

inline std::uint64_t work_bound(const ProgramVault& vault) {
  return static_cast<std::uint64_t>(kWorkPerRecordOrByte * static_cast<double>(vault.records.size() + vault.bytes));
}

}  // namespace vornex::test
