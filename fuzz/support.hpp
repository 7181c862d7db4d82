// What the fuzz targets share: a failed property aborts with a message (the
// fuzzer keeps the input that did it), and targets that need the file
// system get a private scratch directory, emptied before every input.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "cord/wire.hpp"

namespace vornex::fuzz {

namespace fs = std::filesystem;

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "property failed: %.*s", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) std::fprintf(stderr, ": %.*s", static_cast<int>(detail.size()), detail.data());
  std::fputc('\n', stderr);
  std::abort();
}

inline void check(bool holds, std::string_view what, std::string_view detail = {}) {
  if (!holds) fail(what, detail);
}

// An error the property allows is fine; any other is reported with its text.
template <class Expected>
void check_ok(const Expected& result, std::string_view what) {
  if (!result) fail(what, result.error().message());
}

inline cord::ByteView input(const std::uint8_t* data, std::size_t size) { return cord::ByteView(data, size); }
inline std::string_view input_text(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// A directory of this process's own under TMPDIR, removed when it exits.
class Scratch {
 public:
  static Scratch& get() {
    static Scratch scratch;
    return scratch;
  }

  const fs::path& root() const { return root_; }

  // The directory, emptied of whatever the previous input left.
  const fs::path& fresh() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root_, ec)) fs::remove_all(entry.path(), ec);
    if (ec) fail("scratch directory could not be emptied", ec.message());
    return root_;
  }

  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

 private:
  Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vornex-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("no scratch directory", pattern);
    root_ = pattern;
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Scratch::get().root_, ec);
    });
  }

  fs::path root_;
};

// For targets whose state files live in the scratch directory: points the
// state directory there before the first input. Returns libFuzzer's "go on".
inline int use_scratch_state_dir() {
  ::setenv("VORNEX_STATE_DIR", (Scratch::get().root() / "state").c_str(), 1);
  return 0;
}

// Plain write, no flush: the scratch directory is thrown away.
inline void write_file(const fs::path& path, cord::ByteView bytes) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) fail("could not write scratch file", path.native());
}

inline bool same_bytes(cord::ByteView a, cord::ByteView b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace vornex::fuzz
