// What the store's tests share: environment variables set for one scope, and
// a fresh directory per test with workspace paths whose state directory lies
// inside it.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "vornex/store/paths.hpp"

namespace vornex::test {

// Sets (or, for none, unsets) variables and puts the old values back.
class ScopedEnv {
 public:
  using Value = std::optional<std::string>;
  explicit ScopedEnv(std::initializer_list<std::pair<std::string, Value>> values)
      : ScopedEnv(std::vector<std::pair<std::string, Value>>(values)) {}
  explicit ScopedEnv(const std::vector<std::pair<std::string, Value>>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace(name, old ? Value(old) : std::nullopt);
      set(name, value);
    }
  }
  ScopedEnv(const std::string& name, Value value) : ScopedEnv({{name, std::move(value)}}) {}
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) set(name, value);
  }

 private:
  static void set(const std::string& name, const Value& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
  std::map<std::string, Value> saved_;
};

// A directory of its own per test, removed afterwards, under umask 022.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/vornex-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    dir_ = name;
    old_umask_ = ::umask(022);
  }
  void TearDown() override {
    ::umask(old_umask_);
    std::filesystem::remove_all(dir_);
  }

  // Paths of the vault at `vault` (relative to the directory) with the state
  // directory "state" beside it; the state directory is fixed when built.
  store::WorkspacePaths paths_at(const std::string& vault = "vault.cord") const {
    const ScopedEnv state("VORNEX_STATE_DIR", (dir_ / "state").native());
    return store::WorkspacePaths::from_vault_path(dir_ / vault);
  }
  // Permission bits, of a link itself; all ones when the path is missing.
  static unsigned mode_of(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~0u;
  }

  std::filesystem::path dir_;

 private:
  mode_t old_umask_ = 0;
};

}  // namespace vornex::test
