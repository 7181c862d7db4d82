// Writes the performance fuzzer's seeds: one file per shape, named after
// it, into the directory given (fuzz/corpus/validate_work). The shapes
// named after it are left out. --records N writes them at another size,
// to see how the work grows.
//
//   vornex_validate_work_seeds DIR [--records N] [SKIPPED_SHAPE...]
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "vault_program_shapes.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [--records N] [SKIPPED_SHAPE...]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::uint16_t records = vornex::test::kShapeRecords;
  std::vector<std::string> skipped;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--records" && i + 1 < argc) {
      const std::string_view n = argv[++i];
      if (std::from_chars(n.data(), n.data() + n.size(), records).ec != std::errc{}) {
        std::fprintf(stderr, "--records takes a number up to 65535\n");
        return 2;
      }
    } else {
      skipped.emplace_back(arg);
    }
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  for (const vornex::test::ProgramShape& shape : vornex::test::validate_work_shapes(records)) {
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
