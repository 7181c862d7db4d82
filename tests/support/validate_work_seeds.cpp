// Writes the performance fuzzer's seeds: one file per shape, named after
// it, into the directory given (fuzz/corpus/validate_work). The shapes
// named after it are left out, as the corpus leaves out those still over
// the work bound (kStillOverTheBound in validate_work_bound_test.cpp).
//
//   vornex_validate_work_seeds DIR [SKIPPED_SHAPE...]
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vault_program_shapes.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [SKIPPED_SHAPE...]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const std::vector<std::string> skipped(argv + 2, argv + argc);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  for (const vornex::test::ProgramShape& shape : vornex::test::validate_work_shapes()) {
    if (std::ranges::find(skipped, shape.name) != skipped.end()) continue;
    std::ofstream out(dir / shape.name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(shape.code.data()), static_cast<std::streamsize>(shape.code.size()));
    if (!out) {
      std::fprintf(stderr, "could not write %s\n", (dir / shape.name).c_str());
      return 1;
    }
    std::printf("%s: %zu bytes\n", shape.name.c_str(), shape.code.size());
  }
  return 0;
}
