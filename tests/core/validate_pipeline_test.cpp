#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "vault_builder.hpp"
#include "vornex/core/validate/pipeline.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::VaultBuilder;

namespace {

struct Pipeline : ::testing::Test {
  VaultBuilder b;
  const crypto::Identity& alice = b.identity(2);
  const crypto::Identity& bob = b.identity(3);

  Ratchet trust(std::uint64_t format_version = 1) const {
    Ratchet r = Ratchet::make(b.selected_root().fingerprint.to_vec());
    if (format_version != 0) r.absorb_record(FormatVersionRatchetRecordV1{format_version});
    return r;
  }
  ValidationReport validate(std::vector<VaultRecordV1> records, const Ratchet& ratchet,
                            const VerifiedHashes& verified = {}) const {
    auto set = cord::Set<VaultRecordV1>::from(std::move(records)).value();
    return validate_vault_with_verified(set, ratchet, b.crypto(), verified).value();
  }
  HashValue record_hash(const VaultRecordV1& r) const {
    return b.crypto().hash(domains::kRecordHash, cord::serialize(r).value());
  }
  // In the given order, each record hashed as a decoded file would give it.
  std::vector<HashedRecord> hashed(const std::vector<VaultRecordV1>& records) const {
    std::vector<HashedRecord> out;
    for (const auto& r : records) out.push_back({r, {}, record_hash(r), {}});
    return out;
  }
  ValidationReport validate_listed(const std::vector<VaultRecordV1>& records, const Ratchet& ratchet) const {
    return validate_vault_with_verified(std::span<const HashedRecord>(hashed(records)), ratchet, b.crypto(), {})
        .value();
  }
  HashValue fingerprint(const crypto::Identity& id) const { return key_hash(b.crypto(), id.signing_public_key()).value(); }
  // A user record declaring `key` with the HPKE key of `hpke_of`.
  VaultRecordV1 claim(const crypto::Identity& key, const crypto::Identity& hpke_of) const {
    const UserId id = derive_user_id(b.crypto(), key.signing_public_key(), hpke_of.hpke_public_key()).value();
    return b.sign(b.root(), UserRecordV1{id, key.signing_public_key(), hpke_of.hpke_public_key(), 1});
  }
  std::vector<VaultRecordV1> enrolled(const crypto::Identity& user) const {
    return {b.vault_root(), b.user(b.root(), user), b.entry_point(user)};
  }
};

TEST_F(Pipeline, IssueRendering) {
  EXPECT_EQ(debug_string(std::vector<ValidationIssue>{issue::RootNotTrusted{}, issue::AmbiguousRoot{}}),
            "[RootNotTrusted, AmbiguousRoot]");
  EXPECT_EQ(debug_string(issue::InvalidStructure{"a \"b\"\n"}), R"(InvalidStructure("a \"b\"\n"))");
  EXPECT_EQ(debug_string(issue::InvalidSignature{record_key::VaultRoot{}}), "InvalidSignature(VaultRoot)");
  EXPECT_EQ(debug_string(issue::FormatVersionRegression{2, 1}), "FormatVersionRegression { remembered: 2, current: 1 }");
  const ValidationIssue regression = issue::FormatVersionRegression{255, 1};
  EXPECT_EQ(debug_string(regression, NumberStyle::LowerHex), "FormatVersionRegression { remembered: ff, current: 1 }");
  EXPECT_EQ(debug_string(std::vector{regression}, NumberStyle::UpperHex), "[FormatVersionRegression { remembered: FF, current: 1 }]");
  EXPECT_EQ(debug_string(issue::FormatVersionRegression{UINT64_MAX, 0}, NumberStyle::LowerHex),
            "FormatVersionRegression { remembered: ffffffffffffffff, current: 0 }");
  EXPECT_EQ(debug_string(issue::UnknownSignerKey{HashValue({1, 255})}), "UnknownSignerKey(HashValue([1, 255]))");
}

TEST_F(Pipeline, FormatVersionGate) {
  const auto clean = enrolled(alice);
  const auto broken = std::vector<VaultRecordV1>{b.vault_root(), b.user_deleted(b.root(), b.root().user_id())};
  EXPECT_EQ(validate(clean, trust(0)).ratchet_update.format_version, 1u);
  EXPECT_EQ(validate(broken, trust(0)).ratchet_update.format_version, std::nullopt);
  EXPECT_EQ(validate(clean, trust(1)).ratchet_update.format_version, std::nullopt);

  const ValidationReport refused = validate(clean, trust(2));
  EXPECT_EQ(refused.issues, (std::vector<ValidationIssue>{issue::FormatVersionRegression{2, 1}}));
  EXPECT_TRUE(refused.effective.blocked && refused.effective.records.empty());
  EXPECT_EQ(refused.ratchet_update, RatchetUpdate{});
  EXPECT_TRUE(refused.warnings.empty());
}

TEST_F(Pipeline, RootSelection) {
  // A second self-signed root with the trusted key but another HPKE key.
  const UserId other = derive_user_id(b.crypto(), b.root().signing_public_key(), alice.hpke_public_key()).value();
  const auto second_root = b.sign(b.root(), VaultRootRecordV1{other, alice.hpke_public_key()});
  const auto untrusted_root = b.sign(alice, VaultRootRecordV1{alice.user_id(), alice.hpke_public_key()});
  const std::tuple<std::vector<VaultRecordV1>, Ratchet, std::vector<ValidationIssue>> cases[] = {
      {{}, trust(), {issue::RootNotTrusted{}}},
      {{b.vault_root()}, Ratchet::make({1, 2, 3}), {issue::RootNotTrusted{}}},
      {{VaultBuilder::with_bad_signature(b.vault_root())}, trust(), {issue::RootNotTrusted{}}},
      {{b.vault_root(), second_root}, trust(), {issue::AmbiguousRoot{}}},
      {{b.vault_root(), untrusted_root}, trust(), {issue::UnknownSignerKey{fingerprint(alice)}}},
  };
  for (const auto& [records, ratchet, issues] : cases) {
    const ValidationReport report = validate(records, ratchet);
    EXPECT_EQ(report.issues, issues) << debug_string(report.issues);
    EXPECT_TRUE(report.warnings.empty());
  }
}

TEST_F(Pipeline, DuplicatesCountOnceAndShuffledInputGivesOneReport) {
  auto records = enrolled(alice);
  records.push_back(b.secret(b.root(), test::selector({"db"}), {&alice}));
  const ValidationReport first = validate(records, trust());
  EXPECT_TRUE(first.issues.empty());
  std::mt19937 rng(7);
  for (int i = 0; i < 3; ++i) {
    std::shuffle(records.begin(), records.end(), rng);
    EXPECT_EQ(validate(records, trust()), first);
  }
  auto doubled = records;
  doubled.push_back(records.front());
  const ValidationReport borrowed = validate_listed(doubled, trust());
  EXPECT_EQ(borrowed.effective.records.size(), first.effective.records.size());
  // Records handed over are moved into the report, which stays the same.
  EXPECT_EQ(validate_vault_with_verified(hashed(doubled), trust(), b.crypto(), {}).value(), borrowed);
}

TEST_F(Pipeline, UserCreditedInALaterPass) {
  // Alice's record is signed by Bob, whose own record comes later.
  const std::vector<VaultRecordV1> records = {b.vault_root(), b.user(bob, alice), b.entry_point(alice),
                                              b.user(b.root(), bob)};
  const ValidationReport report = validate_listed(records, trust());
  EXPECT_TRUE(report.issues.empty()) << debug_string(report.issues);
  EXPECT_EQ(report.effective.records.size(), records.size());
}

TEST_F(Pipeline, AmbiguousSignerKey) {
  const auto secret = b.secret(alice, test::selector({"db"}), {});
  std::vector<VaultRecordV1> records = {b.vault_root(), claim(alice, alice), claim(alice, bob), secret};
  const ValidationReport skipped = validate(records, trust());
  EXPECT_TRUE(skipped.issues.empty()) << debug_string(skipped.issues);
  EXPECT_EQ(skipped.warnings, std::vector<ValidationWarning>{warning::AmbiguousSignerKey{fingerprint(alice)}});
  EXPECT_EQ(skipped.effective.records.size(), 3u);  // the root and the two user records

  // An entry point by one claimant settles the key on that user.
  records.push_back(b.entry_point(alice));
  const ValidationReport settled = validate(records, trust());
  EXPECT_TRUE(settled.issues.empty() && settled.warnings.empty());
  const auto& verified = settled.effective.records;
  const auto it = std::find_if(verified.begin(), verified.end(), [&](const auto& r) { return r.record == secret; });
  ASSERT_NE(it, verified.end());
  EXPECT_EQ(it->signer, alice.user_id());
}

TEST_F(Pipeline, SignaturesAndTheVerifiedCache) {
  const auto sel = test::selector({"db"});
  const auto bad = VaultBuilder::with_bad_signature(b.secret(b.root(), sel, {}));
  const std::vector<VaultRecordV1> records = {b.vault_root(), bad};
  EXPECT_EQ(validate(records, trust()).issues,
            std::vector<ValidationIssue>{issue::InvalidSignature{record_key::Secret{b.secret_id(sel)}}});
  const ValidationReport cached = validate(records, trust(), {record_hash(bad)});
  EXPECT_TRUE(cached.issues.empty());
  EXPECT_EQ(cached.effective.records.size(), 2u);
}

TEST_F(Pipeline, UnknownKindsAreAWarning) {
  const ValidationReport report =
      validate({b.vault_root(), b.unknown_kind(b.root()), b.unknown_kind(alice), b.unknown_kind(bob)}, trust());
  EXPECT_TRUE(report.issues.empty());
  EXPECT_EQ(report.warnings, std::vector<ValidationWarning>{warning::UndecodableRecords{3}});
}

TEST_F(Pipeline, RollbackAgainstTheTrustState) {
  const auto sel = test::selector({"db"});
  const auto old_secret = b.secret(b.root(), sel, {}, 5);
  const GroupId gone = b.group_id("gone");
  Ratchet ratchet = trust();
  ratchet.absorb_record(SecretRatchetRecordV1{b.secret_id(sel), 7, sel});
  ratchet.absorb_record(GroupRatchetRecordV1{gone, 3});
  ratchet.absorb_record(UserRatchetRecordV1{alice.user_id(), 1});  // met exactly: no rollback

  auto records = enrolled(alice);
  records.push_back(old_secret);
  const ValidationReport report = validate(records, ratchet);
  EXPECT_TRUE(report.issues.empty());
  const auto& conflicts = report.effective.conflicts;
  ASSERT_EQ(conflicts.size(), 2u);
  EXPECT_EQ(conflicts.at(record_key::Secret{b.secret_id(sel)}),
            (ConflictReport{7, key_origin::Secret{sel}, record_key::Secret{b.secret_id(sel)}, {old_secret}, 5}));
  EXPECT_EQ(conflicts.at(record_key::Group{gone}), (ConflictReport{3, std::nullopt, record_key::Group{gone}, {}, 0}));
  EXPECT_EQ(report.effective.rollback_counter_floor(), 8u);  // new writes go above 7
}

TEST_F(Pipeline, RatchetUpdateHoldsOnlyRaisesSoACleanReopenWritesNothing) {
  const auto sel = test::selector({"db"});
  auto records = enrolled(alice);
  records.push_back(b.user_handle(b.root(), "alice", alice.user_id(), 2));
  records.push_back(b.secret(b.root(), sel, {&alice}, 4));
  records.push_back(b.secret(alice, test::selector({"other"}), {}, 9));  // alice may not write: not admitted
  records.push_back(b.user(b.root(), bob));  // no entry point: not admitted
  Ratchet ratchet = trust(0);
  const ValidationReport first = validate(records, ratchet);
  EXPECT_TRUE(first.ratchet_update.counters.contains(record_key::User{alice.user_id()}));
  EXPECT_TRUE(first.ratchet_update.counters.contains(record_key::EntryPoint{alice.user_id()}));
  EXPECT_FALSE(first.ratchet_update.counters.contains(record_key::User{bob.user_id()}));
  EXPECT_EQ(first.ratchet_update.counters.at(record_key::Secret{b.secret_id(sel)}), 4u);
  EXPECT_EQ(first.ratchet_update.counters.at(record_key::UserHandle{b.user_handle_id("alice")}), 2u);
  EXPECT_EQ(first.ratchet_update.origins.at(record_key::Secret{b.secret_id(sel)}), KeyOrigin(key_origin::Secret{sel}));
  EXPECT_FALSE(first.ratchet_update.counters.contains(record_key::Secret{b.secret_id(test::selector({"other"}))}));
  EXPECT_FALSE(first.ratchet_update.counters.contains(record_key::VaultRoot{}));
  EXPECT_EQ(first.effective.highest_counter, 4u);

  ratchet.apply_update(first.ratchet_update);
  EXPECT_EQ(validate(records, ratchet).ratchet_update, RatchetUpdate{});
}

}  // namespace
