// The seeds of the performance fuzzer: one program per hostile shape a
// member may write to make validation work hard, in a small form, and a
// few plain vaults of comparable size. fuzz/corpus/validate_work holds
// them as files (written by vornex_validate_work_seeds).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vault_program_writer.hpp"

namespace vornex::test {

struct ProgramShape {
  std::string name;
  program::Code code;
  bool hostile = true;
};

// The seeds' size: records per shape, about (the list shapes hold five
// values per record instead).
inline constexpr std::uint16_t kShapeRecords = 400;

// Every shape, hostile ones first; names are unique and file-safe.
std::vector<ProgramShape> validate_work_shapes(std::uint16_t records = kShapeRecords);

}  // namespace vornex::test
