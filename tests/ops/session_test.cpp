// Loading a session: the trust raise of a clean validation written back,
// or kept in memory while the lock is held elsewhere or a transaction is
// pending; the verification cache trusted only when everything about it
// checks out; reloading under the writer's locks; and the load failures.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ops_fixture.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/ops/session.hpp"
#include "vornex/ops/transaction.hpp"
#include "vornex/store/cache_file.hpp"

namespace {

using namespace vornex;
using namespace std::chrono_literals;
using test::bytes_of;
using test::must;
using test::write_raw;
using Kind = ops::OpsError::Kind;
namespace fs = std::filesystem;
namespace issue = core::validate::issue;

bool has_invalid_signature(const core::validate::ValidationReport& report) {
  for (const auto& i : report.issues) {
    if (std::holds_alternative<issue::InvalidSignature>(i)) return true;
  }
  return false;
}

class Sessions : public test::OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    c_ = change({b().user(b().root(), b().identity(3)), b().entry_point(b().identity(3))});
    ASSERT_NE(c_.r0, c_.r1);
    put_vault(c_.v1);
    // The ratchet file has not seen user 3 yet: loading raises it.
    put_ratchet(c_.r0);
  }

  ops::OpsResult<ops::LockedSession> load(const store::WorkspacePaths* at = nullptr) const {
    return ops::LockedSession::load(at ? *at : paths(), crypto(), test::kShortWait);
  }
  core::Ratchet ratchet_file_now() const { return must(store::decode_ratchet("r", ratchet_now().value())); }

  // Holds the shared root-state lock in a child until the returned
  // process is killed.
  pid_t hold_shared_lock_elsewhere() const {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      const auto lock = store::acquire_root_state_shared_lock(paths(), root(), test::kShortWait);
      if (!lock) ::_exit(2);
      (void)!::write(ready[1], "x", 1);
      ::pause();
      ::_exit(0);
    }
    char byte = 0;
    const bool ok = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    ::close(ready[1]);
    if (!ok) {
      test::reap(pid);
      return -1;
    }
    return pid;
  }
  static void release(pid_t pid) {
    ::kill(pid, SIGKILL);
    test::reap(pid);
  }

  Change c_;
};

TEST_F(Sessions, ACleanLoadWritesItsRaise) {
  const auto session = load();
  ASSERT_TRUE(session.has_value()) << session.error().message();
  EXPECT_TRUE(session->report.issues.empty());
  EXPECT_EQ(ratchet_now(), c_.r1);
  EXPECT_EQ(session->ratchet, ratchet_file_now());
  EXPECT_EQ(session->ratchet, c_.ratchet1);
  EXPECT_EQ(session->root(), root());
  EXPECT_EQ(*session->vault_bytes, c_.v1);
  EXPECT_EQ(core::validate::decode_vault(*session->vault_bytes).value(), record_set(c_.records1));
  EXPECT_EQ(session->paths, paths());
  EXPECT_FALSE(session->pending.has_value());
  EXPECT_FALSE(session->cache_signer_key.has_value());
  EXPECT_TRUE(session->ensure_valid().has_value());
}

// Recovery runs between the first reading of the vault and the reading
// under the lock, and renames the transaction's vault into place: the
// session is the vault it placed, not the one first read.
TEST_F(Sessions, ALoadHoldsTheVaultItsRecoveryPlaced) {
  put_vault(c_.v0);
  must(store::write_transaction_atomic(paths(), transaction(before_hash(c_.v0), before_hash(c_.r0), c_.v1, c_.r1)));
  const auto session = load();
  ASSERT_TRUE(session.has_value()) << session.error().message();
  EXPECT_FALSE(transaction_exists());
  EXPECT_EQ(vault_now(), c_.v1);
  EXPECT_EQ(*session->vault_bytes, c_.v1);
  EXPECT_EQ(core::validate::decode_vault(*session->vault_bytes).value(), record_set(c_.records1));
  EXPECT_EQ(session->ratchet, c_.ratchet1);
  EXPECT_TRUE(session->report.issues.empty());
  EXPECT_EQ(session->report.effective.records.size(), c_.records1.size());
}

TEST_F(Sessions, TheRaiseStaysInMemoryWhileTheLockIsHeldElsewhere) {
  const pid_t holder = hold_shared_lock_elsewhere();
  ASSERT_GT(holder, 0);
  const auto start = std::chrono::steady_clock::now();
  const auto session = load();
  const auto waited = std::chrono::steady_clock::now() - start;
  release(holder);
  ASSERT_TRUE(session.has_value()) << session.error().message();
  EXPECT_GE(waited, test::kShortWait.timeout);
  EXPECT_EQ(ratchet_now(), c_.r0);
  EXPECT_EQ(session->ratchet, c_.ratchet1);
  EXPECT_FALSE(session->pending.has_value());
}

TEST_F(Sessions, APendingTransactionOfAnotherWorkspaceKeepsTheRaiseInMemory) {
  const store::WorkspacePaths other = workspace("other");
  put_vault(c_.v1, &other);
  must(store::write_transaction_atomic(paths(), transaction(before_hash(c_.v0), before_hash(c_.r0), c_.v1, c_.r0,
                                                            &other)));
  const auto session = load();
  ASSERT_TRUE(session.has_value()) << session.error().message();
  ASSERT_TRUE(session->pending.has_value());
  EXPECT_FALSE(session->pending->this_workspace);
  EXPECT_EQ(session->pending->vault_path,
            must(store::NativePathV1::canonical(other.vault_path())).to_path_buf().value());
  EXPECT_EQ(ratchet_now(), c_.r0);
  EXPECT_EQ(session->ratchet, c_.ratchet1);
  EXPECT_TRUE(transaction_exists());
}

// The raise on its own, for a session that saw a pending transaction of
// this or of another workspace: trusted in memory, never written.
TEST_F(Sessions, ARaiseWithAPendingTransactionIsNotWritten) {
  const pid_t holder = hold_shared_lock_elsewhere();
  ASSERT_GT(holder, 0);
  auto loaded = load();
  release(holder);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  for (const bool this_workspace : {true, false}) {
    SCOPED_TRACE(this_workspace ? "this workspace" : "another workspace");
    ops::LockedSession session = *loaded;
    session.ratchet = c_.ratchet0;
    session.pending = ops::PendingTransaction{cord::Bytes(32, 1), paths().vault_path(), this_workspace};
    ASSERT_TRUE(session.absorb_clean_trust_raises(crypto(), test::kShortWait).has_value());
    EXPECT_EQ(session.ratchet, c_.ratchet1);
    EXPECT_EQ(ratchet_now(), c_.r0);
  }
}

// The raise goes into the ratchet file as it is when the lock is had, not
// into what the session read; an update without counters writes nothing.
TEST_F(Sessions, TheRaiseMergesIntoTheFileAsItIsNow) {
  const pid_t holder = hold_shared_lock_elsewhere();
  ASSERT_GT(holder, 0);
  auto loaded = load();
  release(holder);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  const fs::path ratchet_path = store::ratchet_path(paths(), root());
  core::Ratchet stronger = c_.ratchet0;
  stronger.absorb_record(core::UserRatchetRecordV1{b().identity(7).user_id(), 5});
  core::Ratchet stronger_raised = stronger;
  stronger_raised.apply_update(loaded->report.ratchet_update);
  core::Ratchet from_nothing = empty_ratchet();
  from_nothing.apply_update(loaded->report.ratchet_update);
  core::RatchetUpdate version_only;
  version_only.format_version = 7;

  struct Case {
    const char* name;
    std::optional<cord::Bytes> file;  // none: removed meanwhile
    std::optional<core::RatchetUpdate> update;
    core::Ratchet expected;
    bool written;
  };
  const Case cases[] = {
      {"raised meanwhile", ratchet_file(stronger), std::nullopt, stronger_raised, true},
      {"removed meanwhile", std::nullopt, std::nullopt, from_nothing, true},
      {"no counters in the update", c_.r0, version_only, c_.ratchet0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(ratchet_path);
    if (c.file) put_ratchet(*c.file);
    ops::LockedSession session = *loaded;
    session.ratchet = c_.ratchet0;
    if (c.update) session.report.ratchet_update = *c.update;
    ASSERT_TRUE(session.absorb_clean_trust_raises(crypto(), test::kShortWait).has_value());
    EXPECT_EQ(session.ratchet, c.expected);
    if (c.written) {
      EXPECT_EQ(ratchet_file_now(), c.expected);
    } else {
      EXPECT_EQ(ratchet_now(), c.file);
    }
  }
}

// A transaction written after the session read the trust state, before
// the raise takes the exclusive lock: the barrier refuses, and its error
// is what the raise returns.
// A transaction that appears between reading the ratchet and writing the
// raise owns the next ratchet file: the raise stays in memory and the open
// goes on; the next write meets the barrier.
TEST_F(Sessions, ATransactionThatAppearedBeforeTheRaiseKeepsItInMemory) {
  const pid_t holder = hold_shared_lock_elsewhere();
  ASSERT_GT(holder, 0);
  auto loaded = load();
  release(holder);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  ops::LockedSession session = *loaded;
  ASSERT_FALSE(session.pending.has_value());
  must(store::write_transaction_atomic(paths(), transaction(before_hash(c_.v1), before_hash(c_.r0), c_.v1, c_.r1)));

  const auto raised = session.absorb_clean_trust_raises(crypto(), test::kShortWait);
  ASSERT_TRUE(raised.has_value()) << raised.error().message();
  EXPECT_EQ(ratchet_now(), c_.r0);

  // A transaction file that cannot be read is still reported.
  ops::LockedSession again = *loaded;
  std::filesystem::resize_file(store::transaction_path(paths(), again.root()), 3);
  const auto refused = again.absorb_clean_trust_raises(crypto(), test::kShortWait);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), Kind::Store);
}

TEST_F(Sessions, ValidationIssuesMeanNoRaise) {
  const core::VaultRecordV1 broken =
      test::VaultBuilder::with_bad_signature(b().user_handle(b().root(), "bob", b().identity(2).user_id()));
  auto records = c_.records1;
  records.push_back(broken);
  put_vault(vault_file(records));
  const auto session = load();
  ASSERT_TRUE(session.has_value()) << session.error().message();
  ASSERT_TRUE(has_invalid_signature(session->report));
  EXPECT_EQ(ratchet_now(), c_.r0);
  EXPECT_EQ(session->ratchet, c_.ratchet0);

  const auto valid = session->ensure_valid();
  ASSERT_FALSE(valid.has_value());
  EXPECT_EQ(valid.error().kind(), Kind::ValidationFailed);
  EXPECT_EQ(*valid.error().issues(), session->report.issues);
  EXPECT_EQ(valid.error().message(), "validation failed: " + core::validate::debug_string(session->report.issues));
  EXPECT_EQ(valid.error().message().rfind("validation failed: [InvalidSignature(UserHandle { handle_id: ", 0), 0u);

  // Warnings alone do not refuse.
  ops::LockedSession warned = *session;
  warned.report.issues.clear();
  warned.report.warnings.push_back(core::validate::warning::UndecodableRecords{1});
  EXPECT_TRUE(warned.ensure_valid().has_value());
}

TEST_F(Sessions, LoadFailures) {
  const fs::path ratchet_path = store::ratchet_path(paths(), root());
  const cord::Bytes other_root_record = [] {
    const auto& three = test::shared_builder().identity(3);
    return vault_file({test::shared_builder().vault_root(),
                       test::shared_builder().sign(three, core::VaultRootRecordV1{three.user_id(), three.hpke_public_key()})});
  }();
  struct Case {
    const char* name;
    std::function<void()> arrange;
    Kind kind;
    std::string message;  // the start of it
  };
  const Case cases[] = {
      {"no ratchet and no transaction", [&] { fs::remove(ratchet_path); }, Kind::MissingRatchetState,
       "workspace is missing ratchet state at " + ratchet_path.native()},
      {"no vault", [&] { fs::remove(paths().vault_path()); }, Kind::Store,
       "store error: vault file is missing at " + paths().vault_path().native()},
      {"not a vault", [&] { write_raw(paths().vault_path(), bytes_of("vornex-vault")); }, Kind::Store,
       "store error: vault file " + paths().vault_path().native() + " is invalid: "},
      {"a damaged transaction file",
       [&] { write_raw(store::transaction_path(paths(), root()), bytes_of("vornex-transaction")); }, Kind::Store,
       "store error: transaction file " + store::transaction_path(paths(), root()).native() +
           " is invalid: missing vornex transaction magic"},
      {"no root record", [&] { put_vault(vault_file({b().user(b().root(), b().identity(2))})); },
       Kind::NoRootRecord, "vault does not contain a self-signed root record"},
      {"two root records", [&] { put_vault(other_root_record); }, Kind::MultipleRootRecords,
       "vault contains multiple self-signed root records"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_vault(c_.v1);
    put_ratchet(c_.r0);
    fs::remove(store::transaction_path(paths(), root()));
    c.arrange();
    const auto session = load();
    ASSERT_FALSE(session.has_value());
    EXPECT_EQ(session.error().kind(), c.kind);
    EXPECT_EQ(session.error().message().substr(0, c.message.size()), c.message);
  }
}

// The verification cache of the current user: trusted only when it names
// this root, has version 1 and its signature verifies (by any key). A
// record with a broken signature whose hash it lists then passes.
class Caches : public Sessions {
 protected:
  void SetUp() override {
    Sessions::SetUp();
    records_ = c_.records1;
    records_.push_back(
        test::VaultBuilder::with_bad_signature(b().user_handle(b().root(), "bob", b().identity(2).user_id())));
    vault_ = vault_file(records_);
    put_vault(vault_);
    for (const auto& hashed : must(core::validate::decode_vault_hashed(vault_, crypto()))) {
      must(hashes_.insert(hashed.hash));
    }
  }

  const crypto::Identity& owner() const { return b().identity(2); }
  const crypto::Identity& signer() const { return b().identity(9); }
  fs::path keychain() const { return dir_ / "keychain"; }

  void set_current_user(const crypto::Identity& user) const {
    must(keychain::write_current_user_exact(keychain::current_user_path(keychain(), root().bytes()),
                                            keychain::CurrentUserV1{user.user_id().to_vec(), std::nullopt}));
  }
  store::VerificationCacheV1 signed_cache(const core::HashValue& cache_root, std::uint64_t version,
                                          std::string_view domain = "vornex.verification-cache.v1") const {
    store::VerificationCacheV1 cache{cache_root, version, hashes_, signer().signing_public_key(), {}};
    const cord::Bytes message = must(store::verification_cache_message(cache_root, version, hashes_));
    cache.signature = signer().sign(bytes_of(domain), message);
    return cache;
  }
  // Placed for this root and the owner whatever the cache says inside.
  fs::path cache_path() const { return store::verification_cache_path(paths(), root(), owner().user_id().hash()); }
  void put_cache(const store::VerificationCacheV1& cache) const {
    cord::Bytes bytes(store::kCacheMagic.begin(), store::kCacheMagic.end());
    must(cord::serialize_into(bytes, store::VerificationCacheStore{store::verification_cache_store::V1{cache}}));
    write_raw(cache_path(), bytes);
  }

  std::vector<core::VaultRecordV1> records_;
  cord::Bytes vault_;
  cord::Set<core::HashValue> hashes_;
};

TEST_F(Caches, OnlyASoundCacheIsTrusted) {
  const core::HashValue other_root(cord::Bytes(32, 0x44));
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool trusted;
  };
  const Case cases[] = {
      {"sound", [&] { put_cache(signed_cache(root(), 1)); }, true},
      {"version 2", [&] { put_cache(signed_cache(root(), 2)); }, false},
      {"version 2 over the message of version 1",
       [&] {
         auto cache = signed_cache(root(), 1);
         cache.version = 2;
         put_cache(cache);
       },
       false},
      {"another root", [&] { put_cache(signed_cache(other_root, 1)); }, false},
      {"bad signature",
       [&] {
         auto cache = signed_cache(root(), 1);
         cache.signature[0] ^= 1;
         put_cache(cache);
       },
       false},
      {"signed under another domain", [&] { put_cache(signed_cache(root(), 1, "vornex.signed.v1")); }, false},
      {"damaged file",
       [&] {
         put_cache(signed_cache(root(), 1));
         fs::resize_file(cache_path(), fs::file_size(cache_path()) - 1);
       },
       false},
      {"no current user",
       [&] {
         put_cache(signed_cache(root(), 1));
         fs::remove(keychain::current_user_path(keychain(), root().bytes()));
       },
       false},
      {"the current user is someone else",
       [&] {
         put_cache(signed_cache(root(), 1));
         set_current_user(b().identity(3));
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_ratchet(c_.r0);
    set_current_user(owner());
    c.arrange();
    const auto session = load();
    ASSERT_TRUE(session.has_value()) << session.error().message();
    EXPECT_EQ(ops::read_trusted_cache(paths(), root(), crypto(), test::kShortWait).has_value(), c.trusted);
    if (c.trusted) {
      EXPECT_EQ(session->cache_signer_key, signer().signing_public_key());
      EXPECT_TRUE(session->report.issues.empty());
      EXPECT_EQ(ratchet_now(), ratchet_file(session->ratchet));
    } else {
      EXPECT_FALSE(session->cache_signer_key.has_value());
      EXPECT_TRUE(has_invalid_signature(session->report));
      EXPECT_EQ(ratchet_now(), c_.r0);
    }
    fs::remove(cache_path());
  }
}

// A reload validates against the hashes the session already verified, so
// the record the cache vouched for still passes after the vault changed.
TEST_F(Caches, AReloadKeepsWhatTheSessionVerified) {
  set_current_user(owner());
  put_cache(signed_cache(root(), 1));
  auto session = load();
  ASSERT_TRUE(session.has_value()) << session.error().message();
  ASSERT_TRUE(session->report.issues.empty());
  fs::remove(cache_path());

  auto records = records_;
  records.push_back(b().vault_handle(b().root(), "grown"));
  const cord::Bytes grown = vault_file(records);
  put_vault(grown);
  const auto locks = writer_locks();
  const auto reloaded = session->reload_if_stale_locked(crypto());
  ASSERT_TRUE(reloaded.has_value()) << reloaded.error().message();
  EXPECT_TRUE(*reloaded);
  EXPECT_EQ(*session->vault_bytes, grown);
  EXPECT_TRUE(session->report.issues.empty());
  EXPECT_EQ(session->cache_signer_key, signer().signing_public_key());
}

class Reloads : public Sessions {
 protected:
  void SetUp() override {
    Sessions::SetUp();
    auto loaded = load();
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
    session_.emplace(std::move(*loaded));
    ASSERT_EQ(ratchet_now(), c_.r1);
  }
  ops::OpsResult<bool> reload() {
    const auto locks = writer_locks();
    return session_->reload_if_stale_locked(crypto());
  }
  std::optional<ops::LockedSession> session_;
};

TEST_F(Reloads, UnchangedFilesOnlyRefreshThePending) {
  const store::WorkspacePaths other = workspace("other");
  put_vault(c_.v1, &other);
  const ops::LockedSession before = *session_;
  must(store::write_transaction_atomic(paths(), transaction(before_hash(c_.v0), before_hash(c_.r0), c_.v1, c_.r1,
                                                            &other)));
  ASSERT_EQ(reload().value(), false);
  ASSERT_TRUE(session_->pending.has_value());
  EXPECT_FALSE(session_->pending->this_workspace);
  EXPECT_EQ(*session_->vault_bytes, *before.vault_bytes);
  EXPECT_EQ(session_->report, before.report);
  EXPECT_EQ(session_->ratchet, before.ratchet);

  fs::remove(store::transaction_path(paths(), root()));
  ASSERT_EQ(reload().value(), false);
  EXPECT_FALSE(session_->pending.has_value());
}

TEST_F(Reloads, AChangedVaultOrRatchetIsReadAgain) {
  auto records = c_.records1;
  records.push_back(b().vault_handle(b().root(), "team"));
  const cord::Bytes grown = vault_file(records);
  put_vault(grown);
  const core::validate::ValidationReport old_report = session_->report;
  ASSERT_EQ(reload().value(), true);
  EXPECT_EQ(*session_->vault_bytes, grown);
  EXPECT_EQ(core::validate::decode_vault(*session_->vault_bytes).value(), record_set(records));
  EXPECT_NE(session_->report, old_report);
  EXPECT_TRUE(session_->report.issues.empty());
  // No raise is written by a reload.
  EXPECT_EQ(ratchet_now(), c_.r1);
  EXPECT_EQ(session_->ratchet, c_.ratchet1);

  // The ratchet alone changed: read again, and validated against it.
  core::Ratchet stronger = c_.ratchet1;
  stronger.absorb_record(core::UserRatchetRecordV1{b().identity(7).user_id(), 2});
  put_ratchet(ratchet_file(stronger));
  ASSERT_EQ(reload().value(), true);
  EXPECT_EQ(session_->ratchet, stronger);
  EXPECT_EQ(*session_->vault_bytes, grown);
}

TEST_F(Reloads, FailuresLeaveTheSessionAsItWas) {
  const auto& three = b().identity(3);
  const core::HashValue three_root = must(core::key_hash(crypto(), three.signing_public_key()));
  struct Case {
    const char* name;
    cord::Bytes vault;
    std::string message;
  };
  const Case cases[] = {
      {"a vault of another root",
       vault_file({b().sign(three, core::VaultRootRecordV1{three.user_id(), three.hpke_public_key()})}),
       "store error: trust root mismatch: file has " + core::debug_string(three_root) + ", requested " +
           core::debug_string(root())},
      {"not a vault", bytes_of("vornex-vault"),
       "store error: vault file " + paths().vault_path().native() + " is invalid: "},
      {"a vault without a root", vault_file({b().user(b().root(), b().identity(2))}),
       "vault does not contain a self-signed root record that can identify its ratchet state"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ops::LockedSession before = *session_;
    write_raw(paths().vault_path(), c.vault);
    const auto result = reload();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message().substr(0, c.message.size()), c.message);
    EXPECT_EQ(*session_->vault_bytes, *before.vault_bytes);
    EXPECT_EQ(session_->ratchet_follows_report, before.ratchet_follows_report);
    EXPECT_EQ(session_->ratchet, before.ratchet);
    EXPECT_EQ(session_->report, before.report);
    EXPECT_EQ(session_->pending, before.pending);
    EXPECT_EQ(session_->cache_signer_key, before.cache_signer_key);
  }
}

}  // namespace
