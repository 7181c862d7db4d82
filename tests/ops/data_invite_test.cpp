// An invitation's ratchet baseline as the first trust state: written only
// for a vault that is not older than the baseline, validates cleanly and
// counts the invited identity as a member; an existing trust file stands;
// nothing is written on any failure.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ops_vault.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/ops/invite.hpp"

namespace {

using namespace vornex;
using namespace vornex::test::data;
using Kind = ops::OpsError::Kind;

std::string spelled(const core::UserId& user) {
  std::string out = "UserId(HashValue([";
  for (std::size_t i = 0; i < user.bytes().size(); ++i) out += (i ? ", " : "") + std::to_string(user.bytes()[i]);
  return out + "]))";
}

class DataInvite : public OpsVaultTest {
 protected:
  const core::SecretSelectorV1 x{{"app", "x"}, {}};
  core::SecretId x_id() const { return b.secret_id(x); }

  // The base vault and a secret at counter 3.
  std::vector<core::VaultRecordV1> vault_records() const {
    auto records = base_records();
    records.push_back(b.secret(b.root(), x, {&b.root()}, 3));
    return records;
  }

  core::InvitationMaterial invitation(std::optional<std::vector<core::RatchetRecordV1>> baseline,
                                      std::uint8_t seed = kAlice,
                                      std::optional<core::HashValue> root = std::nullopt) const {
    return core::InvitationMaterial{core::SecretBytes(cord::Bytes(32, seed)), root.value_or(root_fingerprint()),
                                    std::move(baseline)};
  }
  // The baseline as the inviter saw this vault.
  std::vector<core::RatchetRecordV1> matching_baseline() const {
    return {core::UserRatchetRecordV1{id(kAlice).user_id(), 1}, core::SecretRatchetRecordV1{x_id(), 3, x}};
  }

  // Every file of the state directory but the lock files, which taking a
  // lock may create.
  Snapshot state_files() const {
    Snapshot out;
    for (auto& [name, bytes] : snapshot(state_dir())) {
      if (!name.ends_with("/") && !name.ends_with("state.lock")) out.emplace(name, bytes);
    }
    return out;
  }
};

// The trust state a clean validation of vault_records() leaves, spelled out
// record by record: every item at its counter, the secret with its
// selector, and the format version.
TEST_F(DataInvite, SeedsTheBaselineRaisedByTheVault) {
  write_vault(vault_records());
  const auto seeded = ops::ensure_ratchet_from_invite(paths(), crypto(), invitation(matching_baseline()), kFastLocks);
  ASSERT_TRUE(seeded.has_value()) << seeded.error().message();

  core::Ratchet expected = core::Ratchet::make(root_fingerprint().to_vec());
  for (const std::uint8_t user : {kAlice, kBob, kCarol}) {
    expected.absorb_record(core::UserRatchetRecordV1{id(user).user_id(), 1});
    expected.absorb_record(core::EntryPointRatchetRecordV1{id(user).user_id(), 1});
  }
  expected.absorb_record(core::GrantRatchetRecordV1{b.grant_id("alice-write"), 1});
  expected.absorb_record(core::GrantRatchetRecordV1{b.grant_id("bob-read"), 1});
  expected.absorb_record(core::SecretRatchetRecordV1{x_id(), 3, x});
  expected.absorb_record(core::FormatVersionRatchetRecordV1{1});
  const auto written = store::read_ratchet_for_root(paths(), root_fingerprint());
  ASSERT_TRUE(written.has_value() && written->has_value());
  EXPECT_EQ(**written, expected);

  // The seeded trust opens the vault for the invited identity.
  auto session = unlock(kAlice);
  ASSERT_TRUE(session.has_value()) << session.error().message();

  // The invitation road writes the same trust file with the one validation
  // of its load, and its session trusts what it wrote.
  std::filesystem::remove_all(state_dir());
  auto opened = ops::UnlockedSession::from_invitation(paths(), crypto(), invitation(matching_baseline()), kFastLocks);
  ASSERT_TRUE(opened.has_value()) << opened.error().message();
  const auto rewritten = store::read_ratchet_for_root(paths(), root_fingerprint());
  ASSERT_TRUE(rewritten.has_value() && rewritten->has_value());
  EXPECT_EQ(**rewritten, expected);
  EXPECT_EQ(opened->session().ratchet, expected);
  EXPECT_TRUE(opened->session().report.issues.empty());
  EXPECT_FALSE(opened->session().pending.has_value());
  EXPECT_EQ(opened->session().report.effective, session->session().report.effective);

  // Once there, the trust file stands: a second invitation changes nothing.
  const Snapshot before = state_files();
  ASSERT_TRUE(ops::ensure_ratchet_from_invite(paths(), crypto(), invitation(std::nullopt), kFastLocks).has_value());
  EXPECT_EQ(state_files(), before);
}

TEST_F(DataInvite, ExistingTrustFileIgnoresTheBaseline) {
  write_vault(vault_records());
  trust_root();
  const Snapshot before = state_files();
  // Stronger than the vault: seeded, this would be a rollback.
  const std::vector<core::RatchetRecordV1> stronger = {core::SecretRatchetRecordV1{x_id(), 9, x},
                                                       core::UserRatchetRecordV1{id(kAlice).user_id(), 9}};
  for (const auto& baseline : {std::optional(stronger), std::optional<std::vector<core::RatchetRecordV1>>()}) {
    const auto seeded = ops::ensure_ratchet_from_invite(paths(), crypto(), invitation(baseline), kFastLocks);
    ASSERT_TRUE(seeded.has_value()) << seeded.error().message();
    EXPECT_EQ(state_files(), before);
  }
}

// With a trust file in place the invitation adds nothing, so a transaction
// left pending by a failed or killed write does not refuse it: the session
// load that follows completes that transaction.
TEST_F(DataInvite, ExistingTrustFileOpensPastAPendingTransaction) {
  write_vault(vault_records());
  trust_root();
  write_pending_transaction(paths().vault_path());
  const Snapshot before = state_files();
  const auto seeded = ops::ensure_ratchet_from_invite(paths(), crypto(), invitation(matching_baseline()), kFastLocks);
  ASSERT_TRUE(seeded.has_value()) << seeded.error().message();
  EXPECT_EQ(state_files(), before);
  const auto session = unlock(kAlice);
  ASSERT_TRUE(session.has_value()) << session.error().message();
  EXPECT_FALSE(std::filesystem::exists(transaction_file()));
}

TEST_F(DataInvite, Refusals) {
  const auto& root = b.root();
  struct Case {
    const char* name;
    std::vector<core::VaultRecordV1> extra;
    std::function<core::InvitationMaterial()> invite;
    Kind kind;
    std::string message;
    bool pending = false;
  };
  const std::vector<Case> cases = {
      {"vault older than the baseline", {},
       [&] { return invitation(std::vector<core::RatchetRecordV1>{core::SecretRatchetRecordV1{x_id(), 4, x}}); },
       Kind::RolledBackPastInviteBaseline, "the vault has been rolled back past the invite baseline"},
      {"invited user removed", {b.user_deleted(root, id(kAlice).user_id(), 2)},
       [&] { return invitation(std::vector<core::RatchetRecordV1>{}); }, Kind::ClaimedIdentityNotMember,
       "claimed identity " + spelled(id(kAlice).user_id()) + " is not a current member of this vault"},
      {"never a member", {}, [&] { return invitation(matching_baseline(), kStranger); },
       Kind::ClaimedIdentityNotMember,
       "claimed identity " + spelled(identity_of(kStranger).user_id()) + " is not a current member of this vault"},
      {"no baseline", {}, [&] { return invitation(std::nullopt); }, Kind::RollbackProtectedInviteRequired,
       "a rollback-protected invitation is required to establish trust non-interactively"},
      {"vault with issues", {test::VaultBuilder::with_bad_signature(b.secret(root, {{"app", "y"}, {}}, {&root}, 4))},
       [&] { return invitation(matching_baseline()); }, Kind::ValidationFailed, ""},
      {"pending transaction", {}, [&] { return invitation(matching_baseline()); }, Kind::PendingTransactionBlocks, "",
       true},
      {"seed of another length", {},
       [&] {
         return core::InvitationMaterial{core::SecretBytes(cord::Bytes(31, 2)), root_fingerprint(), matching_baseline()};
       },
       Kind::Crypto, "crypto error: invalid byte length for identity master seed: expected 32, got 31"},
  };
  // The seeding on its own, and the invitation road's load, which seeds
  // with its one validation: the same refusals, and nothing written.
  const std::vector<std::pair<const char*, std::function<ops::OpsStatus(const core::InvitationMaterial&)>>> roads = {
      {"seeding", [&](const auto& i) { return ops::ensure_ratchet_from_invite(paths(), crypto(), i, kFastLocks); }},
      {"invitation road",
       [&](const auto& i) -> ops::OpsStatus {
         auto opened = ops::UnlockedSession::from_invitation(paths(), crypto(), i, kFastLocks);
         if (!opened) return std::unexpected(opened.error());
         return {};
       }},
  };
  for (const auto& [road, open] : roads) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(road) + ": " + c.name);
      std::filesystem::remove_all(dir_ / "ws");
      std::filesystem::remove_all(state_dir());
      auto records = vault_records();
      records.insert(records.end(), c.extra.begin(), c.extra.end());
      write_vault(records);
      if (c.pending) write_pending_transaction(paths().vault_path());
      const Snapshot before = state_files();
      const auto seeded = open(c.invite());
      ASSERT_FALSE(seeded.has_value());
      EXPECT_EQ(seeded.error().kind(), c.kind);
      if (!c.message.empty()) {
        EXPECT_EQ(seeded.error().message(), c.message);
      }
      EXPECT_FALSE(std::filesystem::exists(ratchet_file()));
      EXPECT_EQ(state_files(), before);
    }
  }
}

// An invitation for another vault is refused before any lock is taken: the
// state directory is not even created.
TEST_F(DataInvite, AnotherRootCreatesNothing) {
  write_vault(vault_records());
  // The invitation road checks the root even where the invitation's root
  // has a trust file: the vault is another's all the same.
  const core::HashValue other(cord::Bytes(32, 0x5a));
  for (const bool other_trusted : {false, true}) {
    SCOPED_TRACE(other_trusted ? "the invitation's root trusted" : "nothing trusted");
    std::filesystem::remove_all(state_dir());
    if (other_trusted) must(store::write_ratchet_atomic(paths(), core::Ratchet::make(other.to_vec())));
    const Snapshot before = snapshot(dir_);
    const auto opened =
        ops::UnlockedSession::from_invitation(paths(), crypto(), invitation(matching_baseline(), kAlice, other), kFastLocks);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().kind(), Kind::InviteForDifferentRoot);
    EXPECT_EQ(opened.error().message(), "the invitation is for a different vault root");
    EXPECT_EQ(snapshot(dir_), before);
  }
  std::filesystem::remove_all(state_dir());

  const auto seeded = ops::ensure_ratchet_from_invite(
      paths(), crypto(), invitation(matching_baseline(), kAlice, core::HashValue(cord::Bytes(32, 0x5a))), kFastLocks);
  ASSERT_FALSE(seeded.has_value());
  EXPECT_EQ(seeded.error().kind(), Kind::InviteForDifferentRoot);
  EXPECT_EQ(seeded.error().message(), "the invitation is for a different vault root");
  EXPECT_FALSE(std::filesystem::exists(state_dir()));

  std::filesystem::remove_all(dir_ / "ws");
  const auto missing = ops::ensure_ratchet_from_invite(paths(), crypto(), invitation(matching_baseline()), kFastLocks);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), Kind::Store);
  EXPECT_FALSE(std::filesystem::exists(state_dir()));
}

TEST(DataInviteBaseline, SeedingAbsorbsInOrder) {
  const core::HashValue root(cord::Bytes(32, 1));
  const core::SecretId secret(core::HashValue(cord::Bytes(32, 2)));
  const core::SecretSelectorV1 first{{"a"}, {}};
  const core::SecretSelectorV1 second{{"b"}, {}};
  const core::UserId user(core::HashValue(cord::Bytes(32, 3)));
  const auto seeded = ops::seed_ratchet_from_baseline(
      root, {core::SecretRatchetRecordV1{secret, 3, first}, core::SecretRatchetRecordV1{secret, 5, second},
             core::SecretRatchetRecordV1{secret, 2, second}, core::UserRatchetRecordV1{user, 4},
             core::FormatVersionRatchetRecordV1{2}, core::FormatVersionRatchetRecordV1{1},
             core::TrustedRootRatchetRecordV1{cord::Bytes(32, 9)}});
  EXPECT_EQ(seeded.trusted_root(), root.to_vec());  // a root in the baseline names nothing
  EXPECT_EQ(seeded.counters(), (std::map<core::RecordKey, std::uint64_t>{
                                   {core::record_key::User{user}, 4}, {core::record_key::Secret{secret}, 5}}));
  EXPECT_EQ(seeded.origins().at(core::record_key::Secret{secret}), core::KeyOrigin(core::key_origin::Secret{first}));
  EXPECT_EQ(seeded.format_version(), 2u);
  EXPECT_TRUE(seeded.unknown_records().empty());
  EXPECT_EQ(ops::seed_ratchet_from_baseline(root, {}), core::Ratchet::make(root.to_vec()));
}

TEST(DataInviteBaseline, SuspectedRollbackMeansARollbackConflict) {
  core::validate::ValidationReport report;
  EXPECT_FALSE(ops::has_suspected_rollback(report));
  const core::RecordKey key = core::record_key::Secret{core::SecretId(core::HashValue(cord::Bytes(32, 2)))};
  report.effective.conflicts[key] = core::validate::ConflictReport{std::nullopt, std::nullopt, key, {}, 4};
  EXPECT_FALSE(ops::has_suspected_rollback(report));
  const core::RecordKey other = core::record_key::Secret{core::SecretId(core::HashValue(cord::Bytes(32, 3)))};
  report.effective.conflicts[other] = core::validate::ConflictReport{0, std::nullopt, other, {}, 4};
  EXPECT_TRUE(ops::has_suspected_rollback(report));
}

}  // namespace
