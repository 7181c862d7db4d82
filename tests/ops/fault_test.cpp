// Commits under injected I/O faults, by both entry points: the checked one
// and the write path's, which trusts the caller's reads and images.
// Whatever call of a commit fails, the next opening finds the change either
// in place or not made at all, and the error says "committed" exactly when
// it is in place; an interrupted call is retried, so the commit succeeds.
// What can fail for want of space or permission fails before the commit
// point, leaving nothing pending.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "faults/faults.hpp"
#include "ops_fixture.hpp"
#include "vornex/ops/session.hpp"
#include "vornex/ops/transaction.hpp"

namespace {

using namespace vornex;
using test::faults::Armed;
using test::faults::Rule;
namespace fs = std::filesystem;

struct Outcome {
  ops::OpsStatus result;
  long fired = 0;
  std::string call;
};

enum class Entry { Checked, Vouched };

void PrintTo(Entry e, std::ostream* out) { *out << (e == Entry::Checked ? "Checked" : "Vouched"); }

class CommitFaults : public test::OpsTest, public ::testing::WithParamInterface<Entry> {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    c_ = change({b().user(b().root(), b().identity(3)), b().entry_point(b().identity(3))});
    reset_files();
  }

  // Laid out without flushes: a sweep does this hundreds of times.
  void reset_files() const {
    test::write_raw(paths().vault_path(), c_.v0);
    test::write_raw(store::ratchet_path(paths(), root()), c_.r0);
    fs::remove(store::transaction_path(paths(), root()));
  }

  // The change from v0 to v1, committed under the writer's locks with the
  // rules armed for the commit alone.
  Outcome commit_with(const std::vector<Rule>& rules) const {
    auto locks = writer_locks();
    Armed armed(rules);
    auto result = GetParam() == Entry::Checked
                      ? ops::commit_after_images_locked(paths(), root(), crypto(), "vault mutation", c_.v0, c_.r0,
                                                        c_.v1, c_.r1)
                      : ops::commit_vouched_images_locked(paths(), root(), crypto(), "vault mutation", c_.v0, c_.r0,
                                                          c_.v1, c_.r1);
    armed.stop();
    return {std::move(result), armed.fired(), armed.first_fired()};
  }

  bool says_committed(const Outcome& outcome) const {
    return outcome.result || outcome.result.error().message().contains("committed");
  }
  bool in_place() const { return vault_now() == c_.v1 && ratchet_now() == c_.r1; }
  bool as_before() const { return vault_now() == c_.v0 && ratchet_now() == c_.r0; }

  // Our temporaries in the two directories a commit writes in.
  std::vector<std::string> temporaries() const {
    std::vector<std::string> out;
    for (const fs::path& dir : {paths().vornex_dir(), store::ratchet_path(paths(), root()).parent_path()}) {
      for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().native();
        if (name.find(".tmp.") != std::string::npos) out.push_back(name);
      }
    }
    return out;
  }

  Change c_;
};

TEST_P(CommitFaults, TheErrorSaysCommittedExactlyWhenTheChangeIsInPlace) {
  // The store tells no error number from another but EINTR (and those that
  // mean "missing" or "exists", which an injected failure cannot mean).
  for (const int error : {EIO, EINTR}) {
    long n = 1;
    for (;; ++n) {
      reset_files();
      const Outcome outcome = commit_with({{nullptr, n, error}});
      if (outcome.fired == 0) {
        EXPECT_TRUE(outcome.result) << outcome.result.error().message();
        break;
      }
      const std::string trial = std::to_string(error) + " at call " + std::to_string(n) + " (" + outcome.call + "): " +
                                (outcome.result ? std::string("success") : outcome.result.error().message());
      // What the next opening does first.
      const auto recovered = ops::recover_for_root(paths(), root(), crypto(), test::kShortWait);
      ASSERT_TRUE(recovered) << trial << "; recovery: " << recovered.error().message();
      EXPECT_FALSE(transaction_exists()) << trial;
      EXPECT_TRUE(in_place() || as_before()) << trial;
      EXPECT_EQ(says_committed(outcome), in_place()) << trial;
      if (error == EINTR) {
        EXPECT_TRUE(outcome.result) << trial;
      }
    }
    // The sweep went through a whole commit.
    EXPECT_GT(n, GetParam() == Entry::Checked ? 40 : 30) << error;

  }
  // Temporaries a failure could not remove are gone after the next commit.
  reset_files();
  ASSERT_TRUE(commit_with({}).result);
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// Past the rename of the transaction file, its directory flush fails (the
// fourth flush: the ratchet's and the vault's temporaries, the transaction
// file's, then its directory). The file is withdrawn and nothing has
// changed; only when the withdrawal fails too is the change committed.
TEST_P(CommitFaults, ATransactionFileThatFailsAfterItsRenameIsWithdrawn) {
  struct Case {
    const char* name;
    std::vector<Rule> rules;
    bool committed;
    fs::path failed_at;
  };
  const fs::path file = store::transaction_path(paths(), root());
  const Case cases[] = {
      {"directory flush", {{"fsync", 4, EIO}}, false, file.parent_path()},
      // The checked commit reads each file first (its bytes, then the end);
      // the write path's reads nothing before.
      {"read-back", {{"read", GetParam() == Entry::Checked ? 5 : 1, EIO}}, false, file},
      {"directory flush, then the withdrawal", {{"fsync", 4, EIO}, {"unlink", 1, EIO}}, true, file.parent_path()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_files();
    const Outcome outcome = commit_with(c.rules);
    ASSERT_FALSE(outcome.result);
    EXPECT_EQ(outcome.fired, static_cast<long>(c.rules.size()));
    EXPECT_EQ(outcome.result.error().kind(), ops::OpsError::Kind::Store) << outcome.result.error().message();
    EXPECT_EQ(*outcome.result.error().store_error()->path(), c.failed_at) << outcome.result.error().message();
    EXPECT_EQ(outcome.result.error().is_after_commit_point(), c.committed) << outcome.result.error().message();
    EXPECT_EQ(transaction_exists(), c.committed);
    EXPECT_TRUE(as_before());
    ASSERT_TRUE(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait));
    EXPECT_EQ(in_place(), c.committed);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
  }
}

// A workspace that cannot take the new vault file (no space, no
// permission) fails the write before the commit point: no transaction is
// left for every later opening to stumble on.
TEST_P(CommitFaults, AnUnwritableWorkspaceFailsBeforeTheCommitPoint) {
  struct Case {
    const char* name;
    Rule rule;
  };
  // The second file write and flush are the vault's temporary (the
  // ratchet's come first).
  const Case cases[] = {
      {"no space for the vault", {"write", 2, ENOSPC}},
      {"no flush of the vault", {"fsync", 2, EIO}},
      {"no ratchet's directory", {"chmod", 1, EACCES}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_files();
    const Outcome outcome = commit_with({c.rule});
    ASSERT_FALSE(outcome.result);
    EXPECT_FALSE(outcome.result.error().is_after_commit_point()) << outcome.result.error().message();
    EXPECT_FALSE(transaction_exists());
    EXPECT_TRUE(as_before());
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
    EXPECT_TRUE(ops::LockedSession::load(paths(), crypto(), test::kShortWait));
  }
}

INSTANTIATE_TEST_SUITE_P(Entries, CommitFaults, ::testing::Values(Entry::Checked, Entry::Vouched),
                         [](const auto& info) { return info.param == Entry::Checked ? "Checked" : "Vouched"; });

}  // namespace
