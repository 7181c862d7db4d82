// Numbers a test takes from its environment (how many random vaults, from
// which seed, whether to print statistics), so that one failing seed can be
// run again alone.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace vornex::test {

// The variable `name` read as a decimal number, or `fallback` when it is
// unset or empty.
inline std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* value = std::getenv(name);
  return value == nullptr || *value == 0 ? fallback : std::strtoull(value, nullptr, 10);
}

}  // namespace vornex::test
