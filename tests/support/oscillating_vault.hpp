// Vaults whose authority never settles, as a member can write them: a
// manager that rewrites its own manage grant into a read grant, so that the
// grant comes and goes, and rings of managers each rewriting the next
// one's, so that they take each other's authority in turn; under each
// oscillating manager, grants it made that come and go with it (questions
// asked again in every iteration). The same vault without the rewrites
// settles, and stands beside it as its twin. Free of any test framework:
// the benchmarks build them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vault_builder.hpp"

namespace vornex::test {

struct OscillatingOptions {
  std::size_t oscillators = 16;
  std::size_t records = 1000;  // about; the grants under the managers fill it up
  bool rewrites = true;        // false: the settling twin
  // Of the fixed mix: grants under the managers that the root deletes, each
  // admitted after the fixed point (a walk again per admission).
  std::size_t root_deletions = 0;
  // Random kinds of oscillators, delays before them (a manager below
  // another, a group between the root and a manager) and deletions by the
  // managers, the root and plain users, from this seed; 0 for the fixed
  // mix (flips and rings of three and four, no deletion).
  std::uint64_t seed = 0;
};

// The records in the order validation meets them, the vault root first.
std::vector<core::VaultRecordV1> oscillating_vault(const OscillatingOptions& options,
                                                   const VaultBuilder& b = shared_builder());

}  // namespace vornex::test
