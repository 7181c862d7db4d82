#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "validated_vault.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::TestVault;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

PrincipalRefV1 user_ref(const crypto::Identity& id) { return PrincipalRefV1{id.user_id()}; }

// Reader of all (seed 2), writer of "app" (3), outsider holding nothing (4); 5 is no user.
struct Secrets : ::testing::Test {
  TestVault v;
  const crypto::Identity& reader = v.id(2);
  const crypto::Identity& writer = v.id(3);
  const crypto::Identity& outsider = v.id(4);
  const crypto::Identity& stranger = v.id(5);
  Secrets() {
    v.enrol(reader).enrol(writer).enrol(outsider);
    v.add(v.b.grant(v.root(), "r", user_ref(reader), test::read_permission(test::any_keyspace())));
    v.add(v.b.grant(v.root(), "w", user_ref(writer), test::write_permission(test::prefix({"app"}))));
  }
  SecretStatus classify(const EffectiveState& s, const SecretSelectorV1& sel, const crypto::Identity& user) const {
    return s.classify_secret_for_user(sel, user.user_id(), v.b.crypto());
  }
};

TEST_F(Secrets, ClassifyStepsInPriorityOrder) {
  const auto sealed = test::selector({"app", "sealed"});
  const auto twice = test::selector({"app", "twice"});
  const auto conflicted = test::selector({"app", "conflicted"});
  const auto deleted = test::selector({"app", "deleted"});
  v.add(v.b.secret(writer, sealed, {&writer}));
  v.add(v.b.secret(writer, twice, {&writer, &writer}));
  v.add(v.b.secret(writer, conflicted, {&writer}, 3)).add(v.b.secret(v.root(), conflicted, {&writer}, 3));
  v.add(v.b.secret(writer, deleted, {&writer}, 1)).add(v.b.secret_deleted(writer, deleted, 2));
  EffectiveState s = v.state();
  // A principal with root authority that is not an effective user.
  s.authorities.assign(user_ref(stranger), AuthoritySet::root());

  const auto missing = test::selector({"app", "never"});
  const std::tuple<const SecretSelectorV1*, const crypto::Identity*, SecretStatus> cases[] = {
      {&sealed, &writer, SecretStatus::ActiveDecryptable},
      {&sealed, &reader, SecretStatus::NotEncryptedForReader},
      {&sealed, &outsider, SecretStatus::Unauthorized},
      {&sealed, &stranger, SecretStatus::Unauthorized},  // root authority, but no user
      {&twice, &reader, SecretStatus::Invalid},          // duplicate slots, even for a non-reader of it
      {&twice, &stranger, SecretStatus::Invalid},
      {&twice, &outsider, SecretStatus::Unauthorized},
      {&conflicted, &outsider, SecretStatus::Conflicted},
      {&deleted, &writer, SecretStatus::Missing},
      {&missing, &v.root(), SecretStatus::Missing},
  };
  for (const auto& [selector, user, expected] : cases) {
    EXPECT_EQ(classify(s, *selector, *user), expected)
        << selector->tuple.back() << " for seed " << int(user->master_seed().view()[0]);
  }
  // A conflicted secret is not listed as live.
  for (const auto& live : s.secret_records()) EXPECT_NE(live.secret.selector, conflicted);
  s.blocked = true;
  EXPECT_EQ(classify(s, sealed, writer), SecretStatus::Invalid);
}

TEST_F(Secrets, DeletedSecretIsCurrentButNotLive) {
  const auto sel = test::selector({"app", "gone"});
  v.add(v.b.secret(writer, sel, {&writer}, 1)).add(v.b.secret_deleted(writer, sel, 2));
  const EffectiveState s = v.state();
  const auto records = v.verified();
  EXPECT_TRUE(s.secret_records().empty());
  EXPECT_EQ(s.secret_record(sel, v.b.crypto()).value(), std::nullopt);
  EXPECT_EQ(s.live_secret_winner(sel, v.b.crypto()).value(), nullptr);
  EXPECT_TRUE(s.secret_record_is_current(records.back().hash));
  EXPECT_FALSE(s.secret_record_is_current(records[records.size() - 2].hash));
  EXPECT_FALSE(s.secret_record_is_current(records.front().hash));  // not a secret
}

TEST_F(Secrets, OnlyWriteAuthorityMakesAWriteCount) {
  const auto sel = test::selector({"app", "db"});
  v.add(v.b.secret(writer, sel, {&writer}, 1)).add(v.b.secret(reader, sel, {&reader}, 5));
  const EffectiveState s = v.state();
  const auto active = s.secret_record(sel, v.b.crypto()).value();
  ASSERT_TRUE(active.has_value());
  EXPECT_EQ(active->secret.counter, 1u);
  EXPECT_EQ(s.secret_records().size(), 1u);
}

TEST_F(Secrets, ListedInOrderOfFirstWriteAndTiesKeepTheEarlier) {
  const auto first = test::selector({"app", "z"});
  const auto second = test::selector({"app", "a"});
  const auto again = v.b.secret(writer, first, {&writer}, 1);
  v.add(again).add(v.b.secret(writer, second, {&writer})).add(v.b.secret(writer, first, {&writer}, 2));
  v.add(v.b.secret(writer, second, {&writer}, 0)).add(again);  // lower counter, then an exact repeat
  const EffectiveState s = v.state();
  const auto listed = s.secret_records();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].secret.selector, first);
  EXPECT_EQ(listed[0].secret.counter, 2u);
  EXPECT_EQ(listed[1].secret.selector, second);
  const auto [latest, first_index] = s.latest_secret.at(v.b.secret_id(second));
  EXPECT_EQ(latest, first_index);  // the lower counter does not replace it

  // An exact repeat compares equal and keeps the earlier position.
  EffectiveState repeat = v.state();
  std::vector<VerifiedRecord> records = v.b.verified(std::vector<VaultRecordV1>{v.records.front(), again, again});
  repeat.attach_verified_records(std::move(records), 4);
  EXPECT_EQ(repeat.latest_secret.at(v.b.secret_id(first)), (std::pair<std::size_t, std::size_t>{1, 1}));
  EXPECT_EQ(repeat.highest_counter, 4u);
}

TEST_F(Secrets, ReadersAreEffectiveUsersWhoMayRead) {
  EffectiveState s = v.state();
  s.authorities.assign(user_ref(stranger), AuthoritySet::root());
  std::vector<UserId> expected{v.root().user_id(), reader.user_id(), writer.user_id()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(s.current_reader_entries(test::selector({"app", "x"})), expected);
  EXPECT_EQ(s.verified_record_hashes().size(), v.records.size());
}

TEST(Counters, SaturateAtTheTop) {
  EXPECT_EQ(next_counter(std::nullopt), 0u);
  EXPECT_EQ(next_counter(41), 42u);
  EXPECT_EQ(next_counter(kMax), kMax);

  EffectiveState s;
  EXPECT_EQ(s.rollback_counter_floor(), 0u);
  s.conflicts[record_key::VaultRoot{}] = ConflictReport{kMax, std::nullopt, record_key::VaultRoot{}, {}, 0};
  s.conflicts[record_key::Secret{}] = ConflictReport{7, std::nullopt, record_key::Secret{}, {}, 0};
  EXPECT_EQ(s.rollback_counter_floor(), kMax);
  s.conflicts.erase(record_key::VaultRoot{});
  EXPECT_EQ(s.rollback_counter_floor(), 8u);
}

}  // namespace
