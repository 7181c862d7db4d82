// Plants the hostile shapes of random_vault.hpp into a random vault's
// records. Kept apart from the generator of the other records, which hands
// over what the shapes share with them.
#pragma once

#include <cstdint>
#include <vector>

#include "random_vault.hpp"

namespace vornex::test {

// What a shape may use of the vault it is planted in.
struct HostileScene {
  SeededRng& rng;
  const VaultBuilder& b;
  std::vector<core::VaultRecordV1>& out;  // where its records go
  const std::vector<const crypto::Identity*>& users;  // the random records' users, to mix in
};

// Adds one shape's records; `index` tells two shapes of one vault apart.
PlantedHostile plant_hostile(HostileShape shape, std::uint64_t index, const HostileScene& scene);

}  // namespace vornex::test
