// The store under injected I/O faults: interrupted calls are retried, a
// failure is reported as the call that failed, and a prepared file changes
// nothing until the rename that places it. The faults come from
// support/faults, linked into this executable.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "faults/faults.hpp"
#include "store_fixture.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/lock.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/transaction.hpp"

namespace {

using namespace vornex::store;
using namespace std::chrono_literals;
using vornex::test::ScopedEnv;
using vornex::test::faults::Armed;
namespace fs = std::filesystem;

const LockPolicy kShort{300ms, 5ms};

class StoreFaults : public vornex::test::TempDirTest {
 protected:
  // Paths whose state directory is the fallback in a temporary directory
  // of the test's own, so that the checks of that directory run as well.
  WorkspacePaths fallback_paths() const {
    const ScopedEnv env({{"VORNEX_STATE_DIR", std::nullopt},
                         {"XDG_STATE_HOME", std::nullopt},
                         {"HOME", std::nullopt},
                         {"TMPDIR", (dir_ / "tmp").native()}});
    return WorkspacePaths::from_vault_path(dir_ / "w" / ".vornex" / "vault.cord");
  }
  static cord::ByteView view(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
  }
  static std::string content(const Path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Names in `dir` that look like our temporaries.
  static std::set<std::string> temporaries(const Path& dir) {
    std::set<std::string> out;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string name = entry.path().filename().native();
      if (name.find(".tmp.") != std::string::npos) out.insert(name);
    }
    return out;
  }
};

// Every kind of call the store makes, once through: writes of both kinds,
// both locks in the fallback state directory, the canonical path, a stale
// temporary (`stale`, made beforehand) removed, a removal and a read.
StoreStatus every_call(const WorkspacePaths& paths, const vornex::core::HashValue& root, const Path& stale) {
  static const cord::Bytes vault = vornex::core::validate::encode_vault({}).value();
  static const cord::Bytes ratchet = encode_ratchet(vornex::core::Ratchet::make(root.to_vec())).value();
  VX_TRY(write_vault_bytes_atomic(paths, vault));
  {
    VX_TRY_ASSIGN(const RootStateLock state, acquire_root_state_lock(paths, root, kShort));
    VX_TRY_ASSIGN(const WorkspaceLock workspace, acquire_workspace_lock(paths, kShort));
    VX_TRY(write_ratchet_bytes_atomic(paths, root, ratchet));
  }
  VX_TRY(NativePathV1::canonical(paths.vault_path()));
  remove_stale_temporaries(paths.vornex_dir(), {paths.vault_path()});
  // Not through a call that may be failing here.
  if (::access(stale.c_str(), F_OK) == 0) return std::unexpected(StoreError::io(stale, IoError::invalid_data("left")));
  VX_TRY(remove_file_durable(ratchet_path(paths, root)));
  if (auto read = read_file_bounded(paths.vault_path(), kVaultFileLimit); !read) {
    return std::unexpected(StoreError::io(paths.vault_path(), read.error()));
  }
  return {};
}

TEST_F(StoreFaults, InterruptedCallsAreRetried) {
  const WorkspacePaths paths = fallback_paths();
  const vornex::core::HashValue root(cord::Bytes(32, 0x0a));
  const auto stale_temporary = [&] {
    const Path stale = temporary_path_for(paths.vault_path());
    std::ofstream(stale) << "left by a killed writer";
    return stale;
  };
  ASSERT_TRUE(every_call(paths, root, stale_temporary()));
  std::set<std::string> interrupted;
  long n = 1;
  for (;; ++n) {
    const Path stale = stale_temporary();
    Armed armed({{nullptr, n, EINTR}});
    const auto done = every_call(paths, root, stale);
    armed.stop();
    if (armed.fired() == 0) break;
    interrupted.insert(armed.first_fired());
    EXPECT_TRUE(done) << "call " << n << " (" << armed.first_fired() << "): " << done.error().message();
  }
  const std::set<std::string> expected{"chmod", "fchmod", "flock", "fstat",  "fsync",    "lstat", "mkdir", "open",
                                       "opendir", "read", "realpath", "rename", "stat", "unlink", "write"};
  EXPECT_EQ(interrupted, expected) << "after " << n << " calls";
}

TEST_F(StoreFaults, FailedStatAfterMkdirIsReportedAsItself) {
  const ProcessFacts facts = ProcessFacts::read();
  fs::create_directory(dir_ / "dir");
  std::ofstream(dir_ / "file") << "x";
  fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  struct Case {
    const char* name;
    std::vector<vornex::test::faults::Rule> rules;
    int reported;  // 0: success
  };
  const Case cases[] = {
      {"dir", {}, 0},
      {"dir", {{"stat", 1, EIO}}, EIO},  // mkdir said EEXIST, but stat is what failed
      {"file", {}, EEXIST},
      {"dangling", {}, EEXIST},  // nothing behind the name, which is taken
      {"missing/deeper", {{"mkdir", 2, EACCES}}, EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Armed armed(c.rules);
    const auto made = create_dir_all(dir_ / c.name, facts);
    armed.stop();
    if (c.reported == 0) {
      EXPECT_TRUE(made) << made.error().message();
      continue;
    }
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error(), StoreError::io(dir_ / c.name, IoError::from_errno(c.reported)));
  }
}

TEST_F(StoreFaults, PreparedFileChangesNothingUntilPlaced) {
  const ProcessFacts facts = ProcessFacts::read();
  const Path target = dir_ / "target";
  std::ofstream(target) << "old";

  {
    auto prepared = prepare_private_file(target, view("new"), true, facts).value();
    EXPECT_EQ(content(target), "old");
    EXPECT_EQ(content(prepared.temporary()), "new");
    EXPECT_EQ(mode_of(prepared.temporary()), 0600u);
    EXPECT_FALSE(prepared.placed());
  }
  EXPECT_EQ(temporaries(dir_), std::set<std::string>{});
  EXPECT_EQ(content(target), "old");

  // A failed rename leaves the old content and no temporary.
  {
    auto prepared = prepare_private_file(target, view("new"), true, facts).value();
    Armed armed({{"rename", 1, EIO}});
    const auto placed = prepared.place();
    armed.stop();
    ASSERT_FALSE(placed);
    EXPECT_FALSE(prepared.placed());
    EXPECT_EQ(placed.error(), StoreError::io(target, IoError::from_errno(EIO)));
  }
  EXPECT_EQ(temporaries(dir_), std::set<std::string>{});
  EXPECT_EQ(content(target), "old");

  // A directory flush that fails after the rename: the new content stands,
  // and the file says it was placed.
  {
    auto prepared = prepare_private_file(target, view("new"), true, facts).value();
    Armed armed({{"fsync", 1, EIO}});
    const auto placed = prepared.place();
    armed.stop();
    ASSERT_FALSE(placed);
    EXPECT_TRUE(prepared.placed());
    EXPECT_EQ(placed.error(), StoreError::io(dir_, IoError::from_errno(EIO)));
  }
  EXPECT_EQ(content(target), "new");
  EXPECT_EQ(mode_of(target), 0600u);

  // Failures while preparing leave nothing behind and name the temporary.
  for (const char* call : {"write", "fchmod", "fsync"}) {
    SCOPED_TRACE(call);
    Armed armed({{call, 1, ENOSPC}});
    const auto prepared = prepare_private_file(target, view("newer"), true, facts);
    armed.stop();
    ASSERT_FALSE(prepared);
    EXPECT_TRUE(prepared.error().path()->filename().native().starts_with(".target.tmp."));
    EXPECT_EQ(prepared.error().io_error()->os_error(), ENOSPC);
    EXPECT_EQ(temporaries(dir_), std::set<std::string>{});
    EXPECT_EQ(content(target), "new");
  }
}

}  // namespace
