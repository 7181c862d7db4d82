// Advisory locks between descriptors, threads and processes, and the files
// and directories that taking them creates.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "store_fixture.hpp"
#include "vornex/store/lock.hpp"

namespace {

using namespace vornex::store;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const LockPolicy kShort{300ms, 20ms};
const LockPolicy kPatient{5000ms, 10ms};

class Locks : public vornex::test::TempDirTest {
 protected:
  // Runs `body` in a child process and returns its exit status.
  template <class F>
  static int in_child(F body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(Locks, SharedAdmitsSharedOnly) {
  const std::tuple<bool, bool, bool> cases[] = {
      {false, false, true}, {false, true, false}, {true, false, false}, {true, true, false}};
  for (const auto& [first_exclusive, second_exclusive, admitted] : cases) {
    const Path path = dir_ / ("l" + std::to_string(first_exclusive) + std::to_string(second_exclusive));
    const auto first = acquire_advisory_lock(path, first_exclusive, false, kShort);
    ASSERT_TRUE(first);
    const auto start = Clock::now();
    const auto second = acquire_advisory_lock(path, second_exclusive, false, kShort);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(second.has_value(), admitted);
    if (admitted) {
      EXPECT_LT(waited, kShort.timeout);
    } else {
      EXPECT_EQ(second.error().message(), "workspace lock is already held at " + path.native());
      EXPECT_GE(waited, kShort.timeout);
    }
  }
}

TEST_F(Locks, DropLetsAWaitingThreadIn) {
  const Path path = dir_ / "l";
  std::optional<AdvisoryLock> held(acquire_advisory_lock(path, true, false, kShort).value());
  bool acquired = false;
  std::thread waiter([&] { acquired = acquire_advisory_lock(path, true, false, kPatient).has_value(); });
  std::this_thread::sleep_for(100ms);
  held.reset();
  waiter.join();
  EXPECT_TRUE(acquired);
}

// Holders that take the lock back to back leave it free only for a few
// microseconds at a time; a waiter with the default policy must still get
// it within its bound, every time.
TEST_F(Locks, WaiterGetsInBetweenBackToBackHolders) {
  const Path path = dir_ / "l";
  std::atomic<bool> stop{false};
  std::atomic<long> turns{0};
  const auto holder = [&] {
    while (!stop.load()) {
      const auto lock = acquire_advisory_lock(path, true, false);
      if (!lock) continue;
      turns.fetch_add(1);
      std::this_thread::sleep_for(5ms);
    }
  };
  std::thread first(holder);
  std::thread second(holder);
  while (turns.load() < 4) std::this_thread::sleep_for(1ms);
  for (int round = 0; round < 5; ++round) {
    const auto waited = acquire_advisory_lock(path, true, false);
    EXPECT_TRUE(waited) << "round " << round << ": " << waited.error().message();
  }
  stop.store(true);
  first.join();
  second.join();
}

TEST_F(Locks, HolderExitReleases) {
  const Path path = dir_ / "l";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    const auto lock = acquire_advisory_lock(path, true, false, kShort);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(lock ? 0 : 1);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_EQ(acquire_advisory_lock(path, false, false, kShort).error().kind(), StoreError::Kind::LockHeld);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(acquire_advisory_lock(path, true, false, kShort));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(Locks, RootStateLockMakesPrivateLayout) {
  const auto paths = paths_at("w/.vornex/vault.cord");

  const vornex::core::HashValue root({0x0a, 0x0b});
  for (const bool exclusive : {true, false}) {
    const auto lock = acquire_root_state_lock_with_mode(paths, root, exclusive, kShort);
    ASSERT_TRUE(lock);
    EXPECT_EQ(lock->path, dir_ / "state/0a0b/state.lock");
    EXPECT_EQ(mode_of(dir_ / "state/0a0b"), 0700u);
    EXPECT_EQ(mode_of(lock->path), 0600u);
    EXPECT_EQ(fs::file_size(lock->path), 0u);
  }

  // The workspace's directory keeps its ordinary mode, also where it was wider.
  for (const unsigned mode : {0755u, 0777u}) {
    if (mode == 0777u) fs::permissions(paths.vornex_dir(), fs::perms::all);
    const auto lock = acquire_workspace_lock(paths, kShort);
    ASSERT_TRUE(lock);
    EXPECT_EQ(lock->path, paths.lock_path());
    EXPECT_EQ(mode_of(paths.vornex_dir()), mode);
    EXPECT_EQ(mode_of(paths.lock_path()), 0600u);
  }
}

TEST_F(Locks, UncreatableDirectoryIsNamed) {
  std::ofstream(dir_ / "file") << "x";
  for (const bool private_mode : {true, false}) {
    const auto failed = acquire_advisory_lock(dir_ / "file/sub/x.lock", true, private_mode, kShort);
    ASSERT_FALSE(failed);
    EXPECT_EQ(*failed.error().path(), dir_ / "file/sub");
    EXPECT_EQ(failed.error().io_error()->os_error(), ENOTDIR);
  }
  const auto workspace = acquire_workspace_lock(WorkspacePaths::from_vault_path(dir_ / "file/.vornex/vault.cord"));
  EXPECT_EQ(*workspace.error().path(), dir_ / "file/.vornex");
}

// A link planted at the lock path is not followed, so no file elsewhere is
// created or locked.
TEST_F(Locks, LinkAtLockPathIsRefused) {
  fs::create_symlink(dir_ / "elsewhere", dir_ / "x.lock");
  const auto refused = acquire_advisory_lock(dir_ / "x.lock", true, false, kShort);
  ASSERT_FALSE(refused);
  EXPECT_EQ(*refused.error().path(), dir_ / "x.lock");
  EXPECT_EQ(refused.error().io_error()->os_error(), ELOOP);
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
}

// Another user's lock file that this user may only read still locks.
TEST_F(Locks, ReadOnlyLockFileStillLocks) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kNobody = 65534;
  const Path path = dir_ / "l";
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  const auto other_user_tries = [&] {
    return in_child([&] {
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) return 3;
      const auto lock = acquire_advisory_lock(path, true, false, LockPolicy{100ms, 10ms});
      if (lock) return 0;
      return lock.error().kind() == StoreError::Kind::LockHeld ? 1 : 2;
    });
  };
  std::optional<AdvisoryLock> held(acquire_advisory_lock(path, true, false, kShort).value());
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(other_user_tries(), 1);
  held.reset();
  EXPECT_EQ(other_user_tries(), 0);
}

}  // namespace
