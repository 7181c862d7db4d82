// The join-commit journal, written byte by byte here: applied from every
// state its files may be in, refused for what does not belong, never
// beside a transaction, not mistaken for a conflict when another process
// applied it first, and bounded in size.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "hex.hpp"
#include "ops_fixture.hpp"
#include "vornex/ops/join_commit.hpp"
#include "vornex/ops/session.hpp"
#include "vornex/ops/transaction.hpp"

namespace {

using namespace vornex;
using namespace std::chrono_literals;
using test::bytes_of;
using test::inode_of;
using test::must;
using test::write_raw;
using Kind = ops::OpsError::Kind;
namespace fs = std::filesystem;

void put_u32(cord::Bytes& out, std::uint32_t n) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(n >> shift));
}
void put_bytes(cord::Bytes& out, cord::ByteView bytes) {
  put_u32(out, static_cast<std::uint32_t>(bytes.size()));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

struct Journal {
  core::HashValue root;
  core::HashValue vault_before;
  core::HashValue ratchet_before;
  cord::Bytes vault_image;
  cord::Bytes ratchet_image;
  std::uint32_t variant = 0;

  // "vornex-join-commit" 00, the variant index, then the five fields as
  // length-prefixed byte strings.
  cord::Bytes file() const {
    cord::Bytes out = bytes_of("vornex-join-commit");
    out.push_back(0);
    put_u32(out, variant);
    put_bytes(out, root.bytes());
    put_bytes(out, vault_before.bytes());
    put_bytes(out, ratchet_before.bytes());
    put_bytes(out, vault_image);
    put_bytes(out, ratchet_image);
    return out;
  }
};

class JoinCommits : public test::OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    c_ = change({b().user(b().root(), b().identity(3)), b().entry_point(b().identity(3))});
    put_vault(c_.v0);
    put_ratchet(c_.r0);
  }

  Journal usual() const {
    return {root(), journal_hash(c_.v0), journal_hash(c_.r0), c_.v1, c_.r1};
  }
  fs::path journal_path() const { return store::join_commit_path(paths(), root()); }
  void put_journal(const cord::Bytes& bytes) const { write_raw(journal_path(), bytes); }
  ops::OpsResult<bool> recover() const { return ops::recover_join_commit(paths(), root(), crypto(), test::kShortWait); }

  Change c_;
};

TEST_F(JoinCommits, FileLayout) {
  const Journal j{core::HashValue(cord::Bytes(32, 0x11)), core::HashValue(cord::Bytes(32, 0x22)),
                  core::HashValue(cord::Bytes(32, 0x33)), cord::Bytes{0xaa}, cord::Bytes{0xbb, 0xcc}};
  const std::string expected = "766f726e65782d6a6f696e2d636f6d6d697400 00000000" + std::string(" 00000020") +
                               std::string(64, '1') + " 00000020" + std::string(64, '2') + " 00000020" +
                               std::string(64, '3') + " 00000001 aa 00000002 bbcc";
  EXPECT_EQ(test::to_hex(j.file()), test::to_hex(test::hex(expected)));
  // The decoder agrees with the bytes written by hand.
  const auto decoded = cord::deserialize<ops::JoinCommitJournal>(
      cord::ByteView(j.file()).subspan(19), store::kTransactionCordLimits);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_EQ(std::get<ops::JoinCommitJournalV1>(*decoded),
            (ops::JoinCommitJournalV1{j.root, j.vault_before, j.ratchet_before, j.vault_image, j.ratchet_image}));
}

TEST_F(JoinCommits, AppliedFromEveryKnownStateAndRemoved) {
  const fs::path vault_path = paths().vault_path();
  const fs::path ratchet_path = store::ratchet_path(paths(), root());
  struct Case {
    const char* name;
    cord::Bytes vault;
    cord::Bytes ratchet;
  };
  const Case cases[] = {
      {"both before", c_.v0, c_.r0},
      {"both already after", c_.v1, c_.r1},
      {"vault after, ratchet before", c_.v1, c_.r0},
      {"vault before, ratchet after", c_.v0, c_.r1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_vault(c.vault);
    put_ratchet(c.ratchet);
    put_journal(usual().file());
    const ino_t vault_inode = inode_of(vault_path);
    const ino_t ratchet_inode = inode_of(ratchet_path);
    const auto applied = recover();
    ASSERT_TRUE(applied.has_value()) << applied.error().message();
    EXPECT_TRUE(*applied);
    EXPECT_EQ(vault_now(), c_.v1);
    EXPECT_EQ(ratchet_now(), c_.r1);
    EXPECT_FALSE(journal_exists());
    // Both files are written again, even when already at their after state.
    EXPECT_NE(inode_of(vault_path), vault_inode);
    EXPECT_NE(inode_of(ratchet_path), ratchet_inode);
    // Nothing left to apply.
    EXPECT_EQ(recover().value(), false);
  }
}

TEST_F(JoinCommits, AppliedWhenTheVaultIsOpened) {
  put_journal(usual().file());
  const auto session = ops::LockedSession::load(paths(), crypto(), test::kShortWait);
  ASSERT_TRUE(session.has_value()) << session.error().message();
  EXPECT_FALSE(journal_exists());
  EXPECT_EQ(vault_now(), c_.v1);
  EXPECT_EQ(ratchet_now(), c_.r1);
  EXPECT_EQ(*session->vault_bytes, c_.v1);
  EXPECT_EQ(session->ratchet, c_.ratchet1);
  EXPECT_EQ(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait).value(),
            ops::Recovery::NothingPending);
}

TEST_F(JoinCommits, ThroughRecoveryAtOpeningItCountsAsCompleted) {
  put_journal(usual().file());
  EXPECT_EQ(ops::recover_for_root(paths(), root(), crypto(), test::kShortWait).value(), ops::Recovery::Completed);
  EXPECT_FALSE(journal_exists());
}

TEST_F(JoinCommits, ARatchetFileInAnotherValidFormIsJudgedByItsEncoding) {
  // The before ratchet with an extra element that decoding folds away.
  std::vector<cord::Evolving<core::RatchetRecordV1>> elements = c_.ratchet0.to_stored();
  elements.emplace_back(core::FormatVersionRatchetRecordV1{0});
  cord::Bytes odd(store::kRatchetMagic.begin(), store::kRatchetMagic.end());
  must(cord::serialize_into(
      odd, store::RatchetStore{store::ratchet_store::V1{
               must(cord::Set<cord::Evolving<core::RatchetRecordV1>>::from(std::move(elements)))}}));
  ASSERT_NE(odd, c_.r0);
  put_ratchet(odd);
  put_journal(usual().file());
  ASSERT_EQ(recover().value(), true);
  EXPECT_EQ(ratchet_now(), c_.r1);
  EXPECT_EQ(vault_now(), c_.v1);
}

TEST_F(JoinCommits, Refusals) {
  const core::HashValue other_root(cord::Bytes(32, 0x77));
  const std::string conflict = "a prepared Kubernetes enrollment transaction conflicts with local vault state";
  const fs::path ratchet_path = store::ratchet_path(paths(), root());
  core::Ratchet elsewhere = c_.ratchet0;
  elsewhere.absorb_record(core::UserRatchetRecordV1{b().identity(9).user_id(), 2});
  const cord::Bytes other_ratchet = ratchet_file(elsewhere);
  const cord::Bytes other_vault = vault_file(base_records({b().vault_handle(b().root(), "elsewhere")}));

  const auto with = [&](std::function<void(Journal&)> edit) {
    Journal j = usual();
    edit(j);
    return j.file();
  };
  cord::Bytes eighteen = bytes_of("vornex-join-commit");
  cord::Bytes wrong_zero = usual().file();
  wrong_zero[18] = 0x01;
  cord::Bytes truncated = usual().file();
  truncated.resize(truncated.size() - 1);
  cord::Bytes trailing = usual().file();
  trailing.push_back(0);

  struct Case {
    const char* name;
    cord::Bytes journal;
    std::function<void()> arrange;
    std::string message;  // the start of it
    Kind kind;
  };
  const Case cases[] = {
      {"18 bytes", eighteen, [] {}, conflict, Kind::KubernetesEnrollmentConflict},
      {"empty", {}, [] {}, conflict, Kind::KubernetesEnrollmentConflict},
      {"no zero after the magic", wrong_zero, [] {}, conflict, Kind::KubernetesEnrollmentConflict},
      {"variant 1", with([](Journal& j) { j.variant = 1; }), [] {},
       "Cord error: Cord encountered unknown enum variant index 1", Kind::Cord},
      {"truncated", truncated, [] {}, "Cord error: Unexpected end of input", Kind::Cord},
      {"trailing bytes", trailing, [] {}, "Cord error: Trailing bytes after deserialization", Kind::Cord},
      {"another root", with([&](Journal& j) { j.root = other_root; }), [] {}, conflict,
       Kind::KubernetesEnrollmentConflict},
      {"vault at neither state", usual().file(), [&] { put_vault(other_vault); }, conflict,
       Kind::KubernetesEnrollmentConflict},
      {"ratchet at neither state", usual().file(), [&] { put_ratchet(other_ratchet); }, conflict,
       Kind::KubernetesEnrollmentConflict},
      {"no ratchet file", usual().file(), [&] { fs::remove(ratchet_path); },
       "workspace is missing ratchet state at " + ratchet_path.native(), Kind::MissingRatchetState},
      {"no vault file", usual().file(), [&] { fs::remove(paths().vault_path()); },
       "store error: vault file is missing at " + paths().vault_path().native(), Kind::Store},
      {"ratchet image not a ratchet", with([](Journal& j) { j.ratchet_image = bytes_of("junk"); }), [] {},
       "store error: ratchet file " + journal_path().native() + " is invalid: ", Kind::Store},
      // Refused before either file is written: written, it would replace a
      // good vault with one no reader accepts.
      {"vault image not a vault", with([](Journal& j) { j.vault_image = test::hex("766f726e65782d7661756c7400"); }),
       [] {}, "store error: vault file " + journal_path().native() + " is invalid: ", Kind::Store},
      {"ratchet image of another root",
       with([&](Journal& j) { j.ratchet_image = ratchet_file(empty_ratchet(other_root)); }), [] {},
       "store error: trust root mismatch", Kind::Store},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_vault(c_.v0);
    put_ratchet(c_.r0);
    c.arrange();
    const std::optional<cord::Bytes> vault_before = vault_now();
    const std::optional<cord::Bytes> ratchet_before = ratchet_now();
    put_journal(c.journal);
    const auto result = recover();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), c.kind);
    EXPECT_EQ(result.error().message().substr(0, c.message.size()), c.message);
    // Nothing was written and the journal stays.
    EXPECT_EQ(vault_now(), vault_before);
    EXPECT_EQ(ratchet_now(), ratchet_before);
    EXPECT_TRUE(journal_exists());
    // Whatever is inside, it is present and blocks writes.
    EXPECT_EQ(ops::join_commit_present(paths(), root()).value(), true);
    fs::remove(journal_path());
  }
}

TEST_F(JoinCommits, NeverBesideATransaction) {
  put_journal(usual().file());
  const store::TransactionV1 t = transaction(before_hash(c_.v0), before_hash(c_.r0), c_.v1, c_.r1);
  must(store::write_transaction_atomic(paths(), t));

  const auto session = ops::LockedSession::load(paths(), crypto(), test::kShortWait);
  ASSERT_FALSE(session.has_value());
  EXPECT_EQ(session.error().kind(), Kind::DuplicateRecoveryJournals);
  EXPECT_TRUE(journal_exists());
  EXPECT_TRUE(transaction_exists());
  EXPECT_EQ(vault_now(), c_.v0);
  EXPECT_EQ(ratchet_now(), c_.r0);
}

TEST_F(JoinCommits, APresentJournalBlocksWrites) {
  put_journal(bytes_of("not even a journal"));
  const auto locks = writer_locks();
  const auto barrier = ops::ensure_no_pending_transaction_locked(paths(), root(), crypto());
  ASSERT_FALSE(barrier.has_value());
  EXPECT_EQ(barrier.error().kind(), Kind::DuplicateRecoveryJournals);
  const auto commit = ops::commit_after_images_locked(paths(), root(), crypto(), "vault mutation", c_.v0, c_.r0,
                                                      c_.v1, c_.r1);
  ASSERT_FALSE(commit.has_value());
  EXPECT_EQ(commit.error().kind(), Kind::DuplicateRecoveryJournals);
  EXPECT_EQ(vault_now(), c_.v0);
}

TEST_F(JoinCommits, AlreadyAppliedIsNoConflict) {
  put_journal(usual().file());
  {
    const auto locks = writer_locks();
    const ops::JoinCommitJournalV1 journal{root(), journal_hash(c_.v0), journal_hash(c_.r0), c_.v1, c_.r1};
    ASSERT_TRUE(ops::complete_join_commit(paths(), journal, crypto()).has_value());
  }
  EXPECT_FALSE(journal_exists());
  EXPECT_EQ(recover().value(), false);
}

// Another process holds the writer's locks while this one reads the
// journal; it applies the journal and commits a further change, then
// lets go. What the locked re-read finds is no journal: that is done work,
// not a conflict, and nothing is written over the later change.
TEST_F(JoinCommits, AppliedByAnotherProcessMeanwhile) {
  const Change later = change({b().user(b().root(), b().identity(3)), b().entry_point(b().identity(3)),
                               b().vault_handle(b().root(), "later")});
  const cord::Bytes later_ratchet = ratchet_file(raised(later.records1, c_.ratchet1));
  put_journal(usual().file());

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto root_state = store::acquire_root_state_lock(paths(), root(), test::kShortWait);
    auto workspace = store::acquire_workspace_lock(paths(), test::kShortWait);
    if (!root_state || !workspace) ::_exit(2);
    (void)!::write(ready[1], "x", 1);
    std::this_thread::sleep_for(300ms);  // the parent reads the journal now
    const ops::JoinCommitJournalV1 journal{root(), journal_hash(c_.v0), journal_hash(c_.r0), c_.v1, c_.r1};
    if (!ops::complete_join_commit(paths(), journal, crypto())) ::_exit(3);
    if (!ops::commit_after_images_locked(paths(), root(), crypto(), "vault mutation", c_.v1, c_.r1, later.v1,
                                         later_ratchet)) {
      ::_exit(4);
    }
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const auto applied = ops::recover_join_commit(paths(), root(), crypto(), store::LockPolicy{5000ms, 10ms});
  EXPECT_EQ(test::reap(pid), 0);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_TRUE(applied.has_value()) << applied.error().message();
  EXPECT_TRUE(*applied);
  EXPECT_FALSE(journal_exists());
  EXPECT_EQ(vault_now(), later.v1);
  EXPECT_EQ(ratchet_now(), later_ratchet);
}

TEST_F(JoinCommits, PresenceAndItsBound) {
  EXPECT_EQ(ops::join_commit_present(paths(), root()).value(), false);
  put_journal({});
  EXPECT_EQ(ops::join_commit_present(paths(), root()).value(), true);

  // One byte over the bound, sparse so that it costs no disk.
  const fs::path path = journal_path();
  fs::resize_file(path, 269'484'033);
  const std::string expected = "store error: I/O error at " + path.native() +
                               ": file is 269484033 bytes, above the supported maximum of 269484032";
  const auto present = ops::join_commit_present(paths(), root());
  ASSERT_FALSE(present.has_value());
  EXPECT_EQ(present.error().message(), expected);
  const auto recovered = recover();
  ASSERT_FALSE(recovered.has_value());
  EXPECT_EQ(recovered.error().message(), expected);
  const auto session = ops::LockedSession::load(paths(), crypto(), test::kShortWait);
  ASSERT_FALSE(session.has_value());
  EXPECT_EQ(session.error().message(), expected);
}

}  // namespace
