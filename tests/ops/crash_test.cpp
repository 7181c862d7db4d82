// Real crashes: a child process commits a vault change under the writer's
// locks and ends itself at one of the commit's points. The parent then finds
// the locks free, and opening the vault finds the change either applied in
// full or not at all, with no transaction file left behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "ops_fixture.hpp"
#include "vornex/ops/session.hpp"
#include "vornex/ops/transaction.hpp"

namespace {

using namespace vornex;
using Point = ops::testing::CommitPoint;

// Exit codes of the child.
constexpr int kEndedAtPoint = 0;
constexpr int kCommitted = 10;

Point g_crash_point = Point::TransactionWritten;
void end_here(Point point) {
  if (point == g_crash_point) ::_exit(kEndedAtPoint);
}

enum class Ending { AtTransactionWritten, AtRatchetWritten, AtVaultWritten, AtBeforeRemoval, Killed, None };

std::string name_of(Ending e) {
  switch (e) {
    case Ending::AtTransactionWritten: return "TransactionWritten";
    case Ending::AtRatchetWritten: return "RatchetWritten";
    case Ending::AtVaultWritten: return "VaultWritten";
    case Ending::AtBeforeRemoval: return "BeforeRemoval";
    case Ending::Killed: return "KilledHoldingTheLocks";
    case Ending::None: return "NoCrash";
  }
  return "?";
}

// Which commit the child runs: the checked one, or the write path's, which
// trusts the bytes the child read and the images it was given.
enum class Entry { Checked, Vouched };

void PrintTo(Ending e, std::ostream* out) { *out << name_of(e); }
void PrintTo(Entry e, std::ostream* out) { *out << (e == Entry::Checked ? "Checked" : "Vouched"); }

class Crashes : public test::OpsTest, public ::testing::WithParamInterface<std::tuple<Ending, Entry>> {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    const Change c = change({b().user(b().root(), b().identity(3)), b().entry_point(b().identity(3))});
    ratchet0_ = c.ratchet0;
    ratchet1_ = c.ratchet1;
    ASSERT_NE(ratchet1_, ratchet0_);
    v0_ = c.v0;
    v1_ = c.v1;
    r0_ = c.r0;
    r1_ = c.r1;
    put_vault(v0_);
    put_ratchet(r0_);
  }

  // In the child: read the files, take the writer's locks, commit. No test
  // macros here; the exit code tells the parent what happened.
  [[noreturn]] void child(std::optional<Point> crash_at, int ready_fd) const {
    auto vault = store::read_vault_bytes(paths());
    if (!vault) ::_exit(2);
    const auto ratchet = test::file_bytes(store::ratchet_path(paths(), root()));
    if (!ratchet) ::_exit(3);
    auto root_state = store::acquire_root_state_lock(paths(), root(), test::kShortWait);
    if (!root_state) ::_exit(4);
    auto workspace = store::acquire_workspace_lock(paths(), test::kShortWait);
    if (!workspace) ::_exit(5);
    if (ready_fd >= 0) {
      (void)!::write(ready_fd, "x", 1);
      ::pause();
    }
    if (crash_at) {
      g_crash_point = *crash_at;
      ops::testing::set_commit_hook(&end_here);
    }
    const auto committed =
        std::get<Entry>(GetParam()) == Entry::Checked
            ? ops::commit_after_images_locked(paths(), root(), crypto(), "vault mutation", *vault, *ratchet, v1_, r1_)
            : ops::commit_vouched_images_locked(paths(), root(), crypto(), "vault mutation", *vault, *ratchet, v1_,
                                                r1_);
    ::_exit(committed ? kCommitted : 6);
  }

  core::Ratchet ratchet0_ = core::Ratchet::make({});
  core::Ratchet ratchet1_ = core::Ratchet::make({});
  cord::Bytes v0_, v1_, r0_, r1_;
};

TEST_P(Crashes, OpeningFindsTheWriteWholeOrNotAtAll) {
  const Ending ending = std::get<Ending>(GetParam());
  std::optional<Point> crash_at;
  switch (ending) {
    case Ending::AtTransactionWritten: crash_at = Point::TransactionWritten; break;
    case Ending::AtRatchetWritten: crash_at = Point::RatchetWritten; break;
    case Ending::AtVaultWritten: crash_at = Point::VaultWritten; break;
    case Ending::AtBeforeRemoval: crash_at = Point::BeforeRemoval; break;
    case Ending::Killed:
    case Ending::None: break;
  }
  const bool killed = ending == Ending::Killed;

  int ready[2] = {-1, -1};
  if (killed) {
    ASSERT_EQ(::pipe(ready), 0);
  }
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) child(crash_at, killed ? ready[1] : -1);
  if (killed) {
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    ::kill(pid, SIGKILL);
    ::close(ready[0]);
    ::close(ready[1]);
  }
  const int code = test::reap(pid);
  if (!killed) {
    ASSERT_EQ(code, crash_at ? kEndedAtPoint : kCommitted);
  }

  // What the child left: the transaction file from the commit point on,
  // the ratchet replaced before the vault.
  const bool reached_commit_point = !killed;
  const bool ratchet_replaced = reached_commit_point && ending != Ending::AtTransactionWritten;
  const bool vault_replaced = ratchet_replaced && ending != Ending::AtRatchetWritten;
  EXPECT_EQ(transaction_exists(), crash_at.has_value());
  EXPECT_EQ(ratchet_now(), ratchet_replaced ? r1_ : r0_);
  EXPECT_EQ(vault_now(), vault_replaced ? v1_ : v0_);

  // The child's exit released both of its locks.
  {
    const auto root_state = store::acquire_root_state_lock(paths(), root(), test::kShortWait);
    ASSERT_TRUE(root_state.has_value()) << root_state.error().message();
    const auto workspace = store::acquire_workspace_lock(paths(), test::kShortWait);
    ASSERT_TRUE(workspace.has_value()) << workspace.error().message();
  }

  const auto session = ops::LockedSession::load(paths(), crypto(), test::kShortWait);
  ASSERT_TRUE(session.has_value()) << session.error().message();
  const bool applied = reached_commit_point;
  EXPECT_EQ(vault_now(), applied ? v1_ : v0_);
  EXPECT_EQ(ratchet_now(), applied ? r1_ : r0_);
  EXPECT_FALSE(transaction_exists());
  EXPECT_EQ(*session->vault_bytes, applied ? v1_ : v0_);
  EXPECT_EQ(session->ratchet, applied ? ratchet1_ : ratchet0_);
  EXPECT_FALSE(session->pending.has_value());
  EXPECT_TRUE(session->report.issues.empty());
}

INSTANTIATE_TEST_SUITE_P(AtEveryPoint, Crashes,
                         ::testing::Combine(::testing::Values(Ending::AtTransactionWritten, Ending::AtRatchetWritten,
                                                              Ending::AtVaultWritten, Ending::AtBeforeRemoval,
                                                              Ending::Killed, Ending::None),
                                            ::testing::Values(Entry::Checked, Entry::Vouched)),
                         [](const auto& info) {
                           return name_of(std::get<Ending>(info.param)) +
                                  (std::get<Entry>(info.param) == Entry::Checked ? "Checked" : "Vouched");
                         });

}  // namespace
