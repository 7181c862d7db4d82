// Mutations of vault programs (vault_program.hpp) that know the language:
// the performance fuzzer's costly vaults are small programs whose counts,
// shared and private values and revocations are right together, which byte
// flips rarely reach. Each edit keeps the program's structure readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornex::test {

using ProgramCode = std::vector<std::uint8_t>;

// What a structural edit did; None when the program offered no place for
// the one drawn (the caller then mutates bytes instead).
enum class ProgramEdit : std::uint8_t {
  None,
  ScaleAll,     // every count times or divided by one factor
  ScaleOne,     // one count
  Text,         // a text made shared (no suffix) or private (an index)
  Num,          // a number's base or index
  Matcher,      // a matcher replaced: Equals, In [shared, private], Absent...
  Labels,       // a selector's values made shared or private, a key absent
  AddMatcher,   // a matcher added to a selector
  Path,         // a path deepened, made deep, or cut
  CopyOp,       // an instruction copied beside itself
  DropOp,       // an instruction removed
  Revoke,       // a repeated grant followed by its deletions, in an order
};

// Edits `program` in place, staying within `max_size` bytes, by the edit
// that `seed` draws.
ProgramEdit mutate_vault_program(ProgramCode& program, std::size_t max_size, std::uint64_t seed);

// The instructions of `a` up to a point and those of `b` from one, or a
// block of `b` put into `a`; at most `max_size` bytes.
ProgramCode cross_vault_programs(const ProgramCode& a, const ProgramCode& b, std::size_t max_size,
                                 std::uint64_t seed);

}  // namespace vornex::test
