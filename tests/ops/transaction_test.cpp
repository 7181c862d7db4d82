// The write-ahead commit with its files laid out by hand: how a file is
// classified against a transaction, how completion rolls every state
// forward (or refuses), what recovery does with transactions of this and of
// another workspace, the commit's refusals and what it records, the
// strongest ratchet, the merge of ratchets, and a ratchet after-image in a
// valid form other than the canonical one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "hex.hpp"
#include "ops_fixture.hpp"
#include "vornex/ops/join_commit.hpp"
#include "vornex/ops/transaction.hpp"

namespace {

using namespace vornex;
using test::bytes_of;
using test::file_bytes;
using test::inode_of;
using test::must;
using test::write_raw;
using Kind = ops::OpsError::Kind;
using store::FilePreconditionV1;
namespace fs = std::filesystem;

std::string failure(const ops::OpsStatus& result) { return result ? "ok" : result.error().message(); }

class Transactions : public test::OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    const Change c = change({b().user_handle(b().root(), "alice", b().identity(2).user_id())});
    ratchet0_ = c.ratchet0;
    ratchet1_ = c.ratchet1;
    v0_ = c.v0;
    v1_ = c.v1;
    r0_ = c.r0;
    r1_ = c.r1;
    ASSERT_NE(r0_, r1_);
    // Edited by hand: a valid vault, but neither image.
    other_vault_ = vault_file(base_records({b().user_handle(b().root(), "mallory", b().identity(2).user_id())}));
    core::Ratchet other = ratchet0_;
    other.absorb_record(core::UserRatchetRecordV1{b().identity(7).user_id(), 3});
    other_ratchet_ = ratchet_file(other);
    put_vault(v0_);
    put_ratchet(r0_);
  }

  // The usual transaction: both files from their before to their after images.
  store::TransactionV1 usual(const store::WorkspacePaths* at = nullptr) const {
    return transaction(before_hash(v0_), before_hash(r0_), v1_, r1_, at);
  }
  void put_transaction(const store::TransactionV1& t) const { must(store::write_transaction_atomic(paths(), t)); }

  ops::OpsStatus commit(cord::ByteView vault_before, cord::ByteView ratchet_before, cord::Bytes next_vault,
                        cord::Bytes next_ratchet) const {
    const auto locks = writer_locks();
    return ops::commit_after_images_locked(paths(), root(), crypto(), "vault mutation", vault_before, ratchet_before,
                                           std::move(next_vault), std::move(next_ratchet));
  }

  // The write path's commit, which trusts the caller's reads and images.
  ops::OpsStatus commit_vouched(cord::ByteView vault_before, cord::ByteView ratchet_before, cord::ByteView next_vault,
                                cord::ByteView next_ratchet) const {
    const auto locks = writer_locks();
    return ops::commit_vouched_images_locked(paths(), root(), crypto(), "vault mutation", vault_before,
                                             ratchet_before, next_vault, next_ratchet);
  }

  core::Ratchet ratchet0_ = core::Ratchet::make({});
  core::Ratchet ratchet1_ = core::Ratchet::make({});
  cord::Bytes v0_, v1_, r0_, r1_, other_vault_, other_ratchet_;
};

TEST_F(Transactions, ClassifyEveryRowOfTheTable) {
  const FilePreconditionV1 absent = FilePreconditionV1::Absent{};
  struct Case {
    const char* name;
    std::optional<cord::Bytes> current;
    FilePreconditionV1 before;
    cord::Bytes after;
    std::optional<bool> at_after;  // none: a recovery mismatch
  };
  const Case cases[] = {
      {"absent, was absent", std::nullopt, absent, v1_, false},
      {"absent, was present", std::nullopt, before_hash(v0_), v1_, std::nullopt},
      {"present at after, was absent", v1_, absent, v1_, true},
      {"present otherwise, was absent", v0_, absent, v1_, std::nullopt},
      {"at after", v1_, before_hash(v0_), v1_, true},
      {"at before", v0_, before_hash(v0_), v1_, false},
      {"neither", other_vault_, before_hash(v0_), v1_, std::nullopt},
      {"empty file, was absent", cord::Bytes{}, absent, v1_, std::nullopt},
      {"before and after images equal", v0_, before_hash(v0_), v0_, true},
  };
  for (const Case& c : cases) {
    const auto result = ops::classify_file(crypto(), c.current, c.before, c.after);
    if (c.at_after) {
      ASSERT_TRUE(result.has_value()) << c.name << ": " << result.error().message();
      EXPECT_EQ(*result, *c.at_after) << c.name;
    } else {
      ASSERT_FALSE(result.has_value()) << c.name;
      EXPECT_EQ(result.error().kind(), Kind::TransactionRecoveryMismatch) << c.name;
    }
  }
}

TEST_F(Transactions, CompletionFromEveryFileState) {
  const FilePreconditionV1 absent = FilePreconditionV1::Absent{};
  struct Case {
    const char* name;
    std::optional<cord::Bytes> vault;    // none: no file
    std::optional<cord::Bytes> ratchet;  // none: no file
    FilePreconditionV1 vault_before;
    FilePreconditionV1 ratchet_before;
    bool completes;
  };
  const Case cases[] = {
      {"both at before", v0_, r0_, before_hash(v0_), before_hash(r0_), true},
      {"ratchet after, vault before", v0_, r1_, before_hash(v0_), before_hash(r0_), true},
      {"vault after, ratchet before", v1_, r0_, before_hash(v0_), before_hash(r0_), true},
      {"both after", v1_, r1_, before_hash(v0_), before_hash(r0_), true},
      {"vault edited by hand", other_vault_, r0_, before_hash(v0_), before_hash(r0_), false},
      {"ratchet changed by someone else", v0_, other_ratchet_, before_hash(v0_), before_hash(r0_), false},
      {"no vault, none before", std::nullopt, r0_, absent, before_hash(r0_), true},
      {"no vault, one before", std::nullopt, r0_, before_hash(v0_), before_hash(r0_), false},
      {"no ratchet, none before", v0_, std::nullopt, before_hash(v0_), absent, true},
      {"no ratchet, one before", v0_, std::nullopt, before_hash(v0_), before_hash(r0_), false},
      {"vault present, none before", v0_, r0_, absent, before_hash(r0_), false},
  };
  const fs::path vault_path = paths().vault_path();
  const fs::path ratchet_path = store::ratchet_path(paths(), root());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The recorded path is the vault's real path, so it must exist here.
    put_vault(v0_);
    const store::TransactionV1 t = transaction(c.vault_before, c.ratchet_before, v1_, r1_);
    fs::remove(vault_path);
    fs::remove(ratchet_path);
    if (c.vault) put_vault(*c.vault);
    if (c.ratchet) write_raw(ratchet_path, *c.ratchet);
    put_transaction(t);
    const ino_t vault_inode = inode_of(vault_path);
    const ino_t ratchet_inode = inode_of(ratchet_path);

    const auto result = [&] {
      const auto locks = writer_locks();
      return ops::complete_transaction_locked(paths(), t, crypto());
    }();
    if (c.completes) {
      ASSERT_EQ(failure(result), "ok");
      EXPECT_EQ(vault_now(), v1_);
      EXPECT_EQ(ratchet_now(), r1_);
      EXPECT_FALSE(transaction_exists());
      // A file already at its after state is not written again.
      EXPECT_EQ(inode_of(vault_path) == vault_inode, c.vault == v1_);
      EXPECT_EQ(inode_of(ratchet_path) == ratchet_inode, c.ratchet == r1_);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind(), Kind::TransactionRecoveryMismatch);
      EXPECT_FALSE(result.error().is_after_commit_point());
      // Nothing was written, and the transaction is left for later.
      EXPECT_EQ(vault_now(), c.vault);
      EXPECT_EQ(ratchet_now(), c.ratchet);
      EXPECT_EQ(inode_of(vault_path), vault_inode);
      EXPECT_EQ(inode_of(ratchet_path), ratchet_inode);
      EXPECT_TRUE(transaction_exists());
      fs::remove(store::transaction_path(paths(), root()));
    }
  }
}

TEST_F(Transactions, RecoveryCompletesThisWorkspacesTransaction) {
  EXPECT_EQ(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait).value(),
            ops::Recovery::NothingPending);
  put_transaction(usual());
  EXPECT_EQ(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait).value(), ops::Recovery::Completed);
  EXPECT_EQ(vault_now(), v1_);
  EXPECT_EQ(ratchet_now(), r1_);
  EXPECT_FALSE(transaction_exists());
  // Nothing left to do.
  EXPECT_EQ(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait).value(),
            ops::Recovery::NothingPending);
}

TEST_F(Transactions, RecoveryStopsAtAVaultEditedByHand) {
  put_transaction(usual());
  put_vault(other_vault_);
  const auto result = ops::recover_for_root(paths(), root(), crypto(), test::kShortWait);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Kind::TransactionRecoveryMismatch);
  EXPECT_TRUE(transaction_exists());
  EXPECT_EQ(vault_now(), other_vault_);
  EXPECT_EQ(ratchet_now(), r0_);
}

TEST_F(Transactions, RecoveryRefusesAnInvalidTransaction) {
  const store::WorkspacePaths& p = paths();
  const fs::path tx_path = store::transaction_path(p, root());
  const cord::Bytes foreign_vault = vault_file({b().sign(b().identity(3), core::VaultRootRecordV1{
                                                                              b().identity(3).user_id(),
                                                                              b().identity(3).hpke_public_key()})});
  const core::HashValue foreign_root = must(core::key_hash(crypto(), b().identity(3).signing_public_key()));
  struct Case {
    const char* name;
    std::function<void(store::TransactionV1&)> edit;
    std::string message;
  };
  const Case cases[] = {
      {"vault image of another root", [&](store::TransactionV1& t) { t.next_vault_bytes = foreign_vault; },
       "transaction recovery found a file that matches neither its before nor after state"},
      {"ratchet image of another root",
       [&](store::TransactionV1& t) { t.next_ratchet_bytes = ratchet_file(empty_ratchet(foreign_root)); },
       "transaction recovery found a file that matches neither its before nor after state"},
      {"vault image not a vault", [&](store::TransactionV1& t) { t.next_vault_bytes = bytes_of("junk"); },
       "store error: vault file " + tx_path.native() + " is invalid: "},
      {"ratchet image not a ratchet", [&](store::TransactionV1& t) { t.next_ratchet_bytes = bytes_of("junk"); },
       "store error: ratchet file " + tx_path.native() +
           " is invalid: Cord could not validate: not a vornex state file (missing magic prefix)"},
      {"vault image without a root", [&](store::TransactionV1& t) { t.next_vault_bytes = vault_file({}); },
       "vault does not contain a self-signed root record that can identify its ratchet state"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store::TransactionV1 t = usual();
    c.edit(t);
    put_transaction(t);
    const auto recovered = ops::recover_for_root(p, root(), crypto(), test::kShortWait);
    ASSERT_FALSE(recovered.has_value());
    EXPECT_EQ(recovered.error().message().substr(0, c.message.size()), c.message);
    // The barrier reports the same failure rather than a pending write.
    const auto barrier = [&] {
      const auto locks = writer_locks();
      return ops::ensure_no_pending_transaction_locked(p, root(), crypto());
    }();
    ASSERT_FALSE(barrier.has_value());
    EXPECT_EQ(barrier.error(), recovered.error());
    EXPECT_TRUE(transaction_exists());
    EXPECT_EQ(vault_now(), v0_);
    EXPECT_EQ(ratchet_now(), r0_);
    fs::remove(tx_path);
  }
}

// Another process completes the transaction, and commits a further change,
// after recovery saw the transaction but before it had the writer's locks:
// the read under those locks finds none, which is done work, not a file at
// neither state, and nothing is written over the later change.
TEST_F(Transactions, CompletedByAnotherProcessMeanwhile) {
  using namespace std::chrono_literals;
  const Change later = change({b().user_handle(b().root(), "alice", b().identity(2).user_id()),
                               b().vault_handle(b().root(), "later")});
  const cord::Bytes later_ratchet = ratchet_file(raised(later.records1, ratchet1_));
  const store::TransactionV1 t = usual();
  put_transaction(t);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The workspace lock alone: recovery gets through its shared reads and
    // the exclusive root-state lock, then waits here.
    auto workspace = store::acquire_workspace_lock(paths(), test::kShortWait);
    if (!workspace) ::_exit(2);
    (void)!::write(ready[1], "x", 1);
    std::this_thread::sleep_for(300ms);
    if (!ops::complete_transaction_locked(paths(), t, crypto())) ::_exit(3);
    if (!ops::commit_after_images_locked(paths(), root(), crypto(), "vault mutation", v1_, r1_, later.v1,
                                         later_ratchet)) {
      ::_exit(4);
    }
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const auto recovered = ops::recover_for_root(paths(), root(), crypto(), store::LockPolicy{5000ms, 10ms});
  EXPECT_EQ(test::reap(pid), 0);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_TRUE(recovered.has_value()) << recovered.error().message();
  EXPECT_EQ(*recovered, ops::Recovery::Completed);
  EXPECT_FALSE(transaction_exists());
  EXPECT_EQ(vault_now(), later.v1);
  EXPECT_EQ(ratchet_now(), later_ratchet);
}

TEST_F(Transactions, AnotherWorkspacesTransactionIsLeftButStillBlocksWrites) {
  // A second workspace sharing the root's state directory.
  const store::WorkspacePaths other = workspace("other");
  put_vault(v0_, &other);
  const fs::path other_vault = must(store::NativePathV1::canonical(other.vault_path())).to_path_buf().value();

  struct Case {
    const char* name;
    store::TransactionV1 transaction;
    std::optional<fs::path> recorded;
    std::string shown;
  };
  store::TransactionV1 windows = usual();
  windows.vault_path = store::NativePathV1::WindowsUtf16Le{cord::Bytes{'C', 0, ':', 0, '\\', 0}};
  const Case cases[] = {
      {"another workspace", usual(&other), other_vault, other_vault.native()},
      {"another platform", windows, std::nullopt, "<another platform path>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_transaction(c.transaction);
    const std::string id_text = test::to_hex(cord::Bytes(32, 0x5a));
    const std::string expected = "a pending transaction " + id_text + " from " + c.shown + " blocks writes for this vault";

    {
      // Leaving it needs no exclusive lock: a reader elsewhere does not
      // stand in the way.
      const auto reader = must(store::acquire_root_state_shared_lock(paths(), root(), test::kShortWait));
      EXPECT_EQ(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait).value(),
                ops::Recovery::OtherWorkspace);
    }
    EXPECT_TRUE(transaction_exists());
    EXPECT_EQ(vault_now(), v0_);
    EXPECT_EQ(ratchet_now(), r0_);

    {
      const auto locks = writer_locks();
      const auto barrier = ops::ensure_no_pending_transaction_locked(paths(), root(), crypto());
      ASSERT_FALSE(barrier.has_value());
      EXPECT_EQ(barrier.error().kind(), Kind::PendingTransactionBlocks);
      EXPECT_EQ(barrier.error().message(), expected);

      const auto strongest = ops::read_strongest_ratchet_locked(paths(), root(), crypto());
      ASSERT_TRUE(strongest.has_value()) << strongest.error().message();
      ASSERT_TRUE(strongest->pending.has_value());
      EXPECT_EQ(strongest->pending->id, cord::Bytes(32, 0x5a));
      EXPECT_EQ(strongest->pending->vault_path, c.recorded);
      EXPECT_FALSE(strongest->pending->this_workspace);
      EXPECT_EQ(ops::pending_barrier_error(*strongest->pending).message(), expected);
    }
    EXPECT_EQ(failure(commit(v0_, r0_, v1_, r1_)), expected);
    EXPECT_EQ(vault_now(), v0_);
    fs::remove(store::transaction_path(paths(), root()));
  }
}

TEST_F(Transactions, CommitRefusals) {
  const fs::path ratchet_path = store::ratchet_path(paths(), root());
  const fs::path journal_path = store::join_commit_path(paths(), root());
  const core::HashValue foreign_root = must(core::key_hash(crypto(), b().identity(3).signing_public_key()));
  struct Case {
    const char* name;
    std::function<void()> arrange;
    cord::Bytes vault_before;
    cord::Bytes ratchet_before;
    cord::Bytes next_ratchet;
    std::string message;
    bool leaves_transaction;
  };
  const Case cases[] = {
      {"a journal exists", [&] { write_raw(journal_path, bytes_of("anything")); }, v0_, r0_, r1_,
       "both legacy and current recovery journals exist for this vault", false},
      {"a transaction is pending", [&] { put_transaction(usual()); }, v0_, r0_, r1_,
       "a pending transaction " + test::to_hex(cord::Bytes(32, 0x5a)) + " from " +
           must(store::NativePathV1::canonical(paths().vault_path())).to_path_buf().value().native() +
           " blocks writes for this vault",
       true},
      {"the vault changed", [] {}, other_vault_, r0_, r1_, "transaction precondition changed for vault; reload and retry",
       false},
      {"the ratchet changed", [] {}, v0_, other_ratchet_, r1_,
       "transaction precondition changed for ratchet; reload and retry", false},
      {"the ratchet is missing", [&] { fs::remove(ratchet_path); }, v0_, r0_, r1_,
       "transaction precondition changed for ratchet; reload and retry", false},
      {"after-images of another root", [] {}, v0_, r0_, ratchet_file(empty_ratchet(foreign_root)),
       "transaction recovery found a file that matches neither its before nor after state", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_vault(v0_);
    put_ratchet(r0_);
    c.arrange();
    const std::optional<cord::Bytes> ratchet_before = ratchet_now();
    const auto result = commit(c.vault_before, c.ratchet_before, v1_, c.next_ratchet);
    EXPECT_EQ(failure(result), c.message);
    if (!result) {
      EXPECT_FALSE(result.error().is_after_commit_point());
    }
    // Nothing was written.
    EXPECT_EQ(vault_now(), v0_);
    EXPECT_EQ(ratchet_now(), ratchet_before);
    EXPECT_EQ(transaction_exists(), c.leaves_transaction);
    fs::remove(store::transaction_path(paths(), root()));
    fs::remove(journal_path);
  }
}

// What a commit has on disk at each of its points, seen from the seam.
struct Observed {
  Observed(const store::WorkspacePaths* p, core::HashValue r) : paths(p), root(std::move(r)) {}
  const store::WorkspacePaths* paths;
  core::HashValue root;
  std::vector<ops::testing::CommitPoint> points;
  std::optional<store::TransactionV1> transaction;
  std::vector<std::optional<cord::Bytes>> vaults, ratchets;
  std::vector<bool> transaction_present;
};
Observed* g_observed = nullptr;

void observe(ops::testing::CommitPoint point) {
  Observed& o = *g_observed;
  o.points.push_back(point);
  o.vaults.push_back(file_bytes(o.paths->vault_path()));
  o.ratchets.push_back(file_bytes(store::ratchet_path(*o.paths, o.root)));
  auto read = store::read_transaction(*o.paths, o.root);
  o.transaction_present.push_back(read && read->has_value());
  if (point == ops::testing::CommitPoint::TransactionWritten && read && *read) o.transaction = **read;
}

TEST_F(Transactions, CommitRecordsTheImagesAndMovesRatchetFirst) {
  using P = ops::testing::CommitPoint;
  Observed observed{&paths(), root()};
  g_observed = &observed;
  ops::testing::set_commit_hook(&observe);
  const auto result = commit(v0_, r0_, v1_, r1_);
  ops::testing::set_commit_hook(nullptr);
  ASSERT_EQ(failure(result), "ok");
  EXPECT_EQ(vault_now(), v1_);
  EXPECT_EQ(ratchet_now(), r1_);
  EXPECT_FALSE(transaction_exists());

  EXPECT_EQ(observed.points, (std::vector<P>{P::TransactionWritten, P::RatchetWritten, P::VaultWritten, P::BeforeRemoval}));
  EXPECT_EQ(observed.vaults, (std::vector<std::optional<cord::Bytes>>{v0_, v0_, v1_, v1_}));
  EXPECT_EQ(observed.ratchets, (std::vector<std::optional<cord::Bytes>>{r0_, r1_, r1_, r1_}));
  EXPECT_EQ(observed.transaction_present, (std::vector<bool>{true, true, true, true}));

  ASSERT_TRUE(observed.transaction.has_value());
  const store::TransactionV1& t = *observed.transaction;
  EXPECT_EQ(t.id.size(), 32u);
  EXPECT_NE(t.id, cord::Bytes(32, 0));
  EXPECT_EQ(t.trusted_root, root());
  EXPECT_EQ(t.vault_path, must(store::NativePathV1::canonical(paths().vault_path())));
  EXPECT_EQ(t.operation_label, "vault mutation");
  EXPECT_EQ(t.vault_before, before_hash(v0_));
  EXPECT_EQ(t.ratchet_before, before_hash(r0_));
  EXPECT_EQ(t.next_vault_bytes, v1_);
  EXPECT_EQ(t.next_ratchet_bytes, r1_);

  // Every commit draws a fresh id.
  const cord::Bytes first_id = t.id;
  observed = Observed{&paths(), root()};
  ops::testing::set_commit_hook(&observe);
  const auto second = commit(v1_, r1_, v0_, r1_);
  ops::testing::set_commit_hook(nullptr);
  g_observed = nullptr;
  ASSERT_EQ(failure(second), "ok");
  ASSERT_TRUE(observed.transaction.has_value());
  EXPECT_NE(observed.transaction->id, first_id);
}

// Someone ignoring the locks rewrites the vault right after the commit
// point: completion stops, and the failure says the change still stands.
const cord::Bytes* g_intruder_vault = nullptr;
const store::WorkspacePaths* g_intruder_paths = nullptr;

void intrude(ops::testing::CommitPoint point) {
  if (point == ops::testing::CommitPoint::TransactionWritten) {
    must(store::write_vault_bytes_atomic(*g_intruder_paths, *g_intruder_vault));
  }
}

TEST_F(Transactions, AFailureAfterTheCommitPointSaysTheChangeStands) {
  g_intruder_vault = &other_vault_;
  g_intruder_paths = &paths();
  ops::testing::set_commit_hook(&intrude);
  const auto result = commit(v0_, r0_, v1_, r1_);
  ops::testing::set_commit_hook(nullptr);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Kind::TransactionRecoveryMismatch);
  EXPECT_TRUE(result.error().is_after_commit_point());
  EXPECT_TRUE(result.error().message().ends_with(
      " (the change was committed and will be completed the next time this vault is opened)"));
  EXPECT_TRUE(transaction_exists());
}

// Temporaries of killed writers are removed by the next commit, and by a
// recovery, under the writer's locks; nothing else in those directories is.
TEST_F(Transactions, StaleTemporariesGoUnderTheWriterLocks) {
  const fs::path state = store::ratchet_path(paths(), root()).parent_path();
  const fs::path vault_dir = paths().vornex_dir();
  const auto lay_out = [&] {
    std::vector<fs::path> stale;
    for (const fs::path& target :
         {store::ratchet_path(paths(), root()), store::transaction_path(paths(), root()), paths().vault_path()}) {
      for (int i = 0; i < 3; ++i) {
        stale.push_back(store::temporary_path_for(target));
        write_raw(stale.back(), bytes_of("half written"));
      }
    }
    return stale;
  };
  const fs::path kept[] = {state / "notes.txt", vault_dir / ".vault.cord.tmp.short", vault_dir / ".cache.cord.tmp.x"};
  for (const fs::path& path : kept) write_raw(path, bytes_of("kept"));

  std::vector<fs::path> stale = lay_out();
  ASSERT_EQ(failure(commit(v0_, r0_, v1_, r1_)), "ok");
  for (const fs::path& path : stale) EXPECT_FALSE(fs::exists(path)) << path;

  put_vault(v0_);
  put_ratchet(r0_);
  put_transaction(usual());
  stale = lay_out();
  ASSERT_EQ(must(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait)), ops::Recovery::Completed);
  for (const fs::path& path : stale) EXPECT_FALSE(fs::exists(path)) << path;
  for (const fs::path& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
}

TEST_F(Transactions, StrongestRatchet) {
  const fs::path ratchet_path = store::ratchet_path(paths(), root());
  const fs::path this_vault = must(store::NativePathV1::canonical(paths().vault_path())).to_path_buf().value();
  // A ratchet file that knows more than the pending after-image about one
  // item, and an item the after-image does not have.
  core::Ratchet stronger = ratchet0_;
  stronger.absorb_record(core::UserRatchetRecordV1{b().identity(2).user_id(), 9});
  stronger.absorb_record(core::UserRatchetRecordV1{b().identity(7).user_id(), 4});
  core::Ratchet stronger_merged = stronger;
  for (const auto& record : ratchet1_.to_records()) stronger_merged.absorb_record(record);

  struct Case {
    const char* name;
    std::optional<cord::Bytes> ratchet_file;
    bool pending;
    std::optional<core::Ratchet> expected;  // none: MissingRatchetState
  };
  const Case cases[] = {
      {"nothing", std::nullopt, false, std::nullopt},
      {"a ratchet file", r0_, false, ratchet0_},
      {"a pending transaction without a ratchet file", std::nullopt, true, ratchet1_},
      {"a pending transaction and a ratchet file", r0_, true, ratchet1_},
      {"a pending transaction and a stronger ratchet file", ratchet_file(stronger), true, stronger_merged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(ratchet_path);
    fs::remove(store::transaction_path(paths(), root()));
    if (c.ratchet_file) write_raw(ratchet_path, *c.ratchet_file);
    if (c.pending) put_transaction(usual());
    const auto shared = must(store::acquire_root_state_shared_lock(paths(), root(), test::kShortWait));
    const auto result = ops::read_strongest_ratchet_locked(paths(), root(), crypto());
    if (!c.expected) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind(), Kind::MissingRatchetState);
      EXPECT_EQ(result.error().message(), "workspace is missing ratchet state at " + ratchet_path.native());
      continue;
    }
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->ratchet, *c.expected);
    EXPECT_EQ(result->pending.has_value(), c.pending);
    if (c.pending) {
      EXPECT_EQ(result->pending->id, cord::Bytes(32, 0x5a));
      EXPECT_EQ(result->pending->vault_path, this_vault);
      EXPECT_TRUE(result->pending->this_workspace);
    }
  }
}

// The write path's commit leaves at every point what the checked commit
// leaves, and records the same transaction but for its fresh id.
TEST_F(Transactions, VouchedCommitMovesTheFilesAsTheCheckedOneDoes) {
  const auto run = [&](bool vouched) {
    put_vault(v0_);
    put_ratchet(r0_);
    Observed observed{&paths(), root()};
    g_observed = &observed;
    ops::testing::set_commit_hook(&observe);
    const auto result = vouched ? commit_vouched(v0_, r0_, v1_, r1_) : commit(v0_, r0_, v1_, r1_);
    ops::testing::set_commit_hook(nullptr);
    g_observed = nullptr;
    EXPECT_EQ(failure(result), "ok");
    return observed;
  };
  const Observed checked = run(false);
  const Observed vouched = run(true);
  EXPECT_EQ(vouched.points, checked.points);
  EXPECT_EQ(vouched.vaults, checked.vaults);
  EXPECT_EQ(vouched.ratchets, checked.ratchets);
  EXPECT_EQ(vouched.transaction_present, checked.transaction_present);
  EXPECT_EQ(vault_now(), v1_);
  EXPECT_EQ(ratchet_now(), r1_);
  EXPECT_FALSE(transaction_exists());

  ASSERT_TRUE(vouched.transaction.has_value());
  ASSERT_TRUE(checked.transaction.has_value());
  EXPECT_NE(vouched.transaction->id, checked.transaction->id);
  store::TransactionV1 same_id = *vouched.transaction;
  same_id.id = checked.transaction->id;
  EXPECT_EQ(same_id, *checked.transaction);
  // The before-states as recovery recognises them, hashed here from the
  // domain's text.
  EXPECT_EQ(vouched.transaction->vault_before, before_hash(v0_));
  EXPECT_EQ(vouched.transaction->ratchet_before, before_hash(r0_));
  EXPECT_EQ(vouched.transaction->next_vault_bytes, v1_);
  EXPECT_EQ(vouched.transaction->next_ratchet_bytes, r1_);
}

// A file whose after-image is its before-image is neither prepared nor
// replaced, and nothing is left beside the files.
TEST_F(Transactions, VouchedCommitWritesOnlyWhatChanges) {
  const fs::path vault_path = paths().vault_path();
  const fs::path ratchet_path = store::ratchet_path(paths(), root());
  struct Case {
    const char* name;
    const cord::Bytes* next_vault;
    const cord::Bytes* next_ratchet;
  };
  const Case cases[] = {
      {"both change", &v1_, &r1_},
      {"the vault alone", &v1_, &r0_},
      {"the ratchet alone", &v0_, &r1_},
      {"neither", &v0_, &r0_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_vault(v0_);
    put_ratchet(r0_);
    const ino_t vault_inode = inode_of(vault_path);
    const ino_t ratchet_inode = inode_of(ratchet_path);
    ASSERT_EQ(failure(commit_vouched(v0_, r0_, *c.next_vault, *c.next_ratchet)), "ok");
    EXPECT_EQ(vault_now(), *c.next_vault);
    EXPECT_EQ(ratchet_now(), *c.next_ratchet);
    EXPECT_EQ(inode_of(vault_path) == vault_inode, c.next_vault == &v0_);
    EXPECT_EQ(inode_of(ratchet_path) == ratchet_inode, c.next_ratchet == &r0_);
    EXPECT_FALSE(transaction_exists());
    for (const fs::path& dir : {vault_path.parent_path(), ratchet_path.parent_path()}) {
      for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename().native().find(".tmp."), std::string::npos) << entry.path();
      }
    }
  }
}

// What the write path's commit reads and writes, counted by the kernel:
// each file it writes is read back once, and nothing else of size is read.
TEST_F(Transactions, VouchedCommitReadsEachWrittenFileOnce) {
  const auto counters = [] {
    std::ifstream in("/proc/self/io");
    std::map<std::string, long long> values;
    std::string name;
    long long value = 0;
    while (in >> name >> value) values[name] = value;
    return values;
  };
  if (counters().empty()) GTEST_SKIP() << "no /proc/self/io here";
  // A vault large enough that one more read of it would show.
  std::vector<core::VaultRecordV1> many;
  for (int i = 0; i < 300; ++i) many.push_back(b().vault_handle(b().root(), "handle-" + std::to_string(i)));
  const Change big = change(std::move(many));
  put_vault(big.v0);
  put_ratchet(big.r0);
  const std::uintmax_t transaction_size = [&] {
    store::TransactionV1 t = transaction(before_hash(big.v0), before_hash(big.r0), big.v1, big.r1);
    return must(store::encode_transaction(t)).size();
  }();
  ASSERT_GT(big.v1.size(), 40'000u);

  const auto before = counters();
  const auto result = commit_vouched(big.v0, big.r0, big.v1, big.r1);
  const auto after = counters();
  ASSERT_EQ(failure(result), "ok");
  const long long written_files = static_cast<long long>(transaction_size + big.v1.size() + big.r1.size());
  const long long read = after.at("rchar:") - before.at("rchar:");
  const long long written = after.at("wchar:") - before.at("wchar:");
  EXPECT_EQ(written, written_files);
  // Besides the files: the lock and /proc reads, a few hundred bytes.
  EXPECT_GE(read, written_files);
  EXPECT_LT(read, written_files + 4096);
}

TEST_F(Transactions, VouchedCommitRefusals) {
  const fs::path journal_path = store::join_commit_path(paths(), root());
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string message;
    bool leaves_transaction;
  };
  const Case cases[] = {
      {"a journal exists", [&] { write_raw(journal_path, bytes_of("anything")); },
       "both legacy and current recovery journals exist for this vault", false},
      {"a transaction is pending", [&] { put_transaction(usual()); },
       "a pending transaction " + test::to_hex(cord::Bytes(32, 0x5a)) + " from " +
           must(store::NativePathV1::canonical(paths().vault_path())).to_path_buf().value().native() +
           " blocks writes for this vault",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const auto result = commit_vouched(v0_, r0_, v1_, r1_);
    EXPECT_EQ(failure(result), c.message);
    // The checked commit refuses with the same words.
    EXPECT_EQ(failure(commit(v0_, r0_, v1_, r1_)), c.message);
    EXPECT_FALSE(result.error().is_after_commit_point());
    EXPECT_EQ(vault_now(), v0_);
    EXPECT_EQ(ratchet_now(), r0_);
    EXPECT_EQ(transaction_exists(), c.leaves_transaction);
    fs::remove(store::transaction_path(paths(), root()));
    fs::remove(journal_path);
  }
}

TEST(MergeRatchet, Table) {
  const core::UserId u1(core::HashValue(cord::Bytes(32, 1)));
  const core::UserId u2(core::HashValue(cord::Bytes(32, 2)));
  const core::UserHandleId h(core::HashValue(cord::Bytes(32, 3)));
  const cord::Bytes root_a(32, 0xa0), root_b(32, 0xb0);
  const auto ratchet = [](const cord::Bytes& root, std::vector<core::RatchetRecordV1> records,
                          std::vector<cord::Bytes> unknown = {}) {
    core::Ratchet r = core::Ratchet::make(root);
    for (const auto& record : records) r.absorb_record(record);
    for (const auto& payload : unknown) r.keep_unknown_record(payload);
    return r;
  };
  const cord::Bytes x{0, 0, 0, 20, 1}, y{0, 0, 0, 20, 2}, z{0, 0, 0, 21};

  struct Case {
    const char* name;
    core::Ratchet into;
    core::Ratchet other;
    std::optional<core::Ratchet> expected;  // none: a recovery mismatch
  };
  const Case cases[] = {
      {"roots differ", ratchet(root_a, {}), ratchet(root_b, {}), std::nullopt},
      {"the larger counter wins either way",
       ratchet(root_a, {core::UserRatchetRecordV1{u1, 5}, core::UserRatchetRecordV1{u2, 1}}),
       ratchet(root_a, {core::UserRatchetRecordV1{u1, 2}, core::UserRatchetRecordV1{u2, 7}}),
       ratchet(root_a, {core::UserRatchetRecordV1{u1, 5}, core::UserRatchetRecordV1{u2, 7}})},
      {"the first origin stays", ratchet(root_a, {core::UserHandleRatchetRecordV1{h, 1, "first"}}),
       ratchet(root_a, {core::UserHandleRatchetRecordV1{h, 4, "second"}}),
       ratchet(root_a, {core::UserHandleRatchetRecordV1{h, 4, "first"}})},
      {"an origin is learnt where none was known", ratchet(root_a, {core::UserHandleRatchetRecordV1{h, 1, ""}}),
       ratchet(root_a, {core::UserHandleRatchetRecordV1{h, 1, "learnt"}}),
       ratchet(root_a, {core::UserHandleRatchetRecordV1{h, 1, "learnt"}})},
      {"the format version by maximum", ratchet(root_a, {core::FormatVersionRatchetRecordV1{1}}),
       ratchet(root_a, {core::FormatVersionRatchetRecordV1{3}}),
       ratchet(root_a, {core::FormatVersionRatchetRecordV1{3}})},
      {"unknown records appended once, in the other's order", ratchet(root_a, {}, {y}), ratchet(root_a, {}, {z, y, x}),
       ratchet(root_a, {}, {y, z, x})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::Ratchet into = c.into;
    const auto result = ops::merge_ratchet(into, c.other);
    if (!c.expected) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind(), Kind::TransactionRecoveryMismatch);
      continue;
    }
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(into, *c.expected);
    EXPECT_EQ(into.unknown_records(), c.expected->unknown_records());
  }
}

TEST(TransactionIdHex, LowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(ops::transaction_id_hex(cord::Bytes{0x00, 0xab}), "00ab");
  EXPECT_EQ(ops::transaction_id_hex(cord::Bytes{}), "");
  cord::Bytes id(32);
  for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(i * 8 + 7);
  EXPECT_EQ(ops::transaction_id_hex(id),
            "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
}

// The ratchet after-image with two extra elements that decoding folds
// away (a lower counter for an item it holds, a format version 0): a valid
// file that is not what encoding its ratchet gives.
class NonCanonicalRatchet : public Transactions {
 protected:
  void SetUp() override {
    Transactions::SetUp();
    std::vector<cord::Evolving<core::RatchetRecordV1>> elements = ratchet1_.to_stored();
    elements.emplace_back(core::UserRatchetRecordV1{b().identity(2).user_id(), 0});
    elements.emplace_back(core::FormatVersionRatchetRecordV1{0});
    const auto set = must(cord::Set<cord::Evolving<core::RatchetRecordV1>>::from(std::move(elements)));
    odd_ = cord::Bytes(store::kRatchetMagic.begin(), store::kRatchetMagic.end());
    must(cord::serialize_into(odd_, store::RatchetStore{store::ratchet_store::V1{set}}));
    const auto decoded = store::decode_ratchet("r", odd_);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
    ASSERT_EQ(*decoded, ratchet1_);
    ASSERT_NE(odd_, r1_);
  }
  cord::Bytes odd_;
};

TEST_F(NonCanonicalRatchet, CommitWritesItAsItStands) {
  ASSERT_EQ(failure(commit(v0_, r0_, v1_, odd_)), "ok");
  EXPECT_EQ(vault_now(), v1_);
  EXPECT_EQ(ratchet_now(), odd_);
  EXPECT_FALSE(transaction_exists());
  // And a later commit starts from it as it stands.
  ASSERT_EQ(failure(commit(v1_, odd_, v0_, r1_)), "ok");
  EXPECT_EQ(ratchet_now(), r1_);
}

TEST_F(NonCanonicalRatchet, VouchedCommitWritesItAsItStands) {
  ASSERT_EQ(failure(commit_vouched(v0_, r0_, v1_, odd_)), "ok");
  EXPECT_EQ(vault_now(), v1_);
  EXPECT_EQ(ratchet_now(), odd_);
  EXPECT_FALSE(transaction_exists());
}

TEST_F(NonCanonicalRatchet, RecoveryFromEitherStateCompletes) {
  for (const bool ratchet_already_written : {false, true}) {
    SCOPED_TRACE(ratchet_already_written ? "ratchet already written" : "both at before");
    put_vault(v0_);
    put_ratchet(ratchet_already_written ? odd_ : r0_);
    put_transaction(transaction(before_hash(v0_), before_hash(r0_), v1_, odd_));
    EXPECT_EQ(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait).value(), ops::Recovery::Completed);
    EXPECT_EQ(vault_now(), v1_);
    EXPECT_EQ(ratchet_now(), odd_);
    EXPECT_FALSE(transaction_exists());
  }
}

}  // namespace
