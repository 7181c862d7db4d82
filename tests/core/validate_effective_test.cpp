#include <gtest/gtest.h>

#include "validated_vault.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::TestVault;

namespace {

PrincipalRefV1 user_ref(const crypto::Identity& id) { return PrincipalRefV1{id.user_id()}; }
RecordKey user_key(const crypto::Identity& id) { return record_key::User{id.user_id()}; }

struct Effective : ::testing::Test {
  TestVault v;
  const crypto::Identity& alice = v.id(2);
  const crypto::Identity& bob = v.id(3);
};

TEST_F(Effective, RootOnlyVault) {
  const EffectiveState s = v.state();
  ASSERT_EQ(s.users.size(), 1u);
  EXPECT_EQ(s.users.at(v.root().user_id()).counter, 0u);
  EXPECT_EQ(s.authorities, root_authorities(v.root().user_id()));
  EXPECT_TRUE(s.groups.empty() && s.grants.empty() && s.entry_points.empty() && s.conflicts.empty() && !s.blocked);
  EXPECT_EQ(s.root_fingerprint, v.b.selected_root().fingerprint);
}

// A user needs a user record signed by root authority and an entry point.
TEST(Enrolment, UserNeedsRootSignedRecordAndEntryPoint) {
  const struct {
    const char* name;
    bool user_record, entry_point;
    std::uint8_t user_signer;  // seed of the identity signing the user record
    bool effective;
  } cases[] = {{"UserOnly", true, false, 1, false},
               {"EntryPointOnly", false, true, 1, false},
               {"Both", true, true, 1, true},
               {"SignedByNonRoot", true, true, 3, false}};
  for (const auto& c : cases) {
    TestVault v;
    const auto& alice = v.id(2);
    v.enrol(v.id(3));  // a non-root signer who is effective
    if (c.user_record) v.add(v.b.user(v.id(c.user_signer), alice));
    if (c.entry_point) v.add(v.b.entry_point(alice));
    const EffectiveState s = v.state();
    EXPECT_EQ(s.users.contains(alice.user_id()), c.effective) << c.name;
    EXPECT_EQ(s.entry_points.contains(alice.user_id()), c.effective) << c.name;
    EXPECT_FALSE(s.deleted_users.contains(alice.user_id())) << c.name;
  }
}

TEST_F(Effective, UserRecordForRootIsNeverACandidate) {
  auto forged = std::get<UserRecordV1>(*v.b.user(v.root(), v.root(), 9).body.known());
  forged.hpke_public_key = {1, 2, 3};
  v.add(v.b.sign(v.root(), forged)).add(v.b.entry_point(v.root()));
  const EffectiveState s = v.state();
  EXPECT_EQ(s.users.at(v.root().user_id()).counter, 0u);
  EXPECT_EQ(s.users.at(v.root().user_id()).hpke_public_key, v.root().hpke_public_key());
}

TEST_F(Effective, AuthorityFlowsThroughNestedGroups) {
  const auto g1 = v.b.group_id("g1");
  const auto g2 = v.b.group_id("g2");
  v.enrol(alice).add(v.b.group(v.root(), "g1")).add(v.b.group(v.root(), "g2"));
  v.add(v.b.grant(v.root(), "r", PrincipalRefV1{g1}, test::read_permission(test::prefix({"a"}))))
      .add(v.b.member(v.root(), g1, PrincipalRefV1{g2}))
      .add(v.b.member(v.root(), g2, user_ref(alice)));
  const EffectiveState s = v.state();
  EXPECT_TRUE(s.authority_for_user(alice.user_id()).can_read(test::selector({"a", "x"})));
  EXPECT_FALSE(s.authority_for_user(alice.user_id()).can_read(test::selector({"b"})));
  EXPECT_FALSE(s.blocked);
}

TEST_F(Effective, GroupCycleSettlesWithUnion) {
  const auto g1 = v.b.group_id("g1");
  const auto g2 = v.b.group_id("g2");
  v.add(v.b.group(v.root(), "g1")).add(v.b.group(v.root(), "g2"));
  v.add(v.b.grant(v.root(), "r", PrincipalRefV1{g1}, test::read_permission(test::prefix({"a"}))))
      .add(v.b.grant(v.root(), "w", PrincipalRefV1{g2}, test::write_permission(test::prefix({"b"}))))
      .add(v.b.member(v.root(), g1, PrincipalRefV1{g2}))
      .add(v.b.member(v.root(), g2, PrincipalRefV1{g1}));
  const EffectiveState s = v.state();
  ASSERT_FALSE(s.blocked);
  const AuthoritySet& a1 = s.authorities.at(PrincipalRefV1{g1});
  const AuthoritySet& a2 = s.authorities.at(PrincipalRefV1{g2});
  EXPECT_EQ(a1, a2);
  EXPECT_EQ(a1.read.size(), 1u);
  EXPECT_EQ(a1.write.size(), 1u);
}

TEST_F(Effective, GrantsNeedAnEffectiveGranteeAndASignerWhoMayCreateThem) {
  v.enrol(alice)
      .add(v.b.user(v.root(), bob))  // no entry point: not effective
      .add(v.b.grant(v.root(), "to-bob", user_ref(bob), test::root_permission()))
      .add(v.b.grant(alice, "self", user_ref(alice), test::read_permission(test::any_keyspace())));
  const EffectiveState s = v.state();
  EXPECT_TRUE(s.grants.empty());
  EXPECT_FALSE(s.authorities.contains(user_ref(bob)));
  EXPECT_EQ(s.authority_for_user(alice.user_id()), AuthoritySet{});
}

TEST_F(Effective, RootGrantedLaterLetsAUserCreateGroups) {
  v.enrol(alice).add(v.b.group(alice, "g")).add(v.b.grant(v.root(), "root", user_ref(alice), test::root_permission()));
  EXPECT_TRUE(v.state().groups.contains(v.b.group_id("g")));
}

// Each root grant is signed by the previous grantee: n grants settle in iteration n + 1.
TestVault root_chain(int grants) {
  TestVault v;
  const auto user = [&](int i) -> const crypto::Identity& { return v.id(static_cast<std::uint8_t>(i + 2)); };
  for (int i = 0; i < grants; ++i) v.enrol(user(i));
  for (int i = 0; i < grants; ++i) {
    v.add(v.b.grant(i == 0 ? v.root() : user(i - 1), "chain" + std::to_string(i), user_ref(user(i)),
                    test::root_permission()));
  }
  return v;
}

TEST(EffectiveState, FixedPointSettlesAtIteration64AndBlocksBeyond) {
  const auto settled = root_chain(kMaxAuthorityIterations - 1).state();
  EXPECT_FALSE(settled.blocked);
  EXPECT_EQ(settled.grants.size(), 63u);

  TestVault v = root_chain(kMaxAuthorityIterations);
  const auto sel = test::selector({"s"});
  v.add(v.b.secret(v.root(), sel, {&v.root()}));
  const auto blocked = v.state();
  EXPECT_TRUE(blocked.blocked);
  EXPECT_EQ(blocked.grants.size(), 64u);  // iteration 64's selection
  EXPECT_EQ(blocked.classify_secret_for_user(sel, v.root().user_id(), v.b.crypto()), SecretStatus::Invalid);
}

TEST_F(Effective, RollbackFloorKeysAreIgnored) {
  v.enrol(alice).enrol(bob);
  const EffectiveState s = v.state({{user_key(alice), 5}, {RecordKey{record_key::EntryPoint{bob.user_id()}}, 5}});
  EXPECT_FALSE(s.users.contains(alice.user_id()));
  EXPECT_FALSE(s.users.contains(bob.user_id()));
  EXPECT_FALSE(s.entry_points.contains(bob.user_id()));
}

TEST_F(Effective, UserAndUserDeletedAtOneCounterConflict) {
  v.enrol(alice, 3).add(v.b.user_deleted(v.root(), alice.user_id(), 3));
  const EffectiveState s = v.state();
  EXPECT_FALSE(s.users.contains(alice.user_id()));
  EXPECT_FALSE(s.deleted_users.contains(alice.user_id()));
  ASSERT_TRUE(s.conflicts.contains(user_key(alice)));
  EXPECT_EQ(s.conflicts.at(user_key(alice)).candidates.size(), 2u);
}

TEST_F(Effective, MembershipOfDeletedGroupIsNotAdmitted) {
  const auto g = v.b.group_id("g");
  v.enrol(alice).add(v.b.group(v.root(), "g")).add(v.b.member(v.root(), g, user_ref(alice)));
  v.add(v.b.group_deleted(v.root(), g));
  const EffectiveState s = v.state();
  EXPECT_TRUE(s.deleted_groups.contains(g));
  EXPECT_TRUE(s.group_members.empty());
}

TEST_F(Effective, OnlyRootAuthorityDeletesUsers) {
  v.enrol(alice).enrol(bob);
  v.add(v.b.grant(v.root(), "w", user_ref(alice), test::write_permission(test::any_keyspace())));
  v.add(v.b.user_deleted(alice, bob.user_id()));
  EXPECT_TRUE(v.state().users.contains(bob.user_id()));
  v.add(v.b.user_deleted(v.root(), bob.user_id(), 4));
  const EffectiveState s = v.state();
  EXPECT_FALSE(s.users.contains(bob.user_id()));
  EXPECT_TRUE(s.deleted_users.contains(bob.user_id()));
}

// Alice, root by grant, deletes Bob while the root revokes her: the older deletion is judged first.
TEST(Deletions, OrderDecidesWhetherARevokedDeleterStillCounts) {
  for (const bool alice_first : {true, false}) {
    SCOPED_TRACE(alice_first);
    TestVault v;
    const auto& alice = v.id(2);
    const auto& bob = v.id(3);
    v.enrol(alice).enrol(bob).add(v.b.grant(v.root(), "root", user_ref(alice), test::root_permission()));
    v.add(v.b.user_deleted(alice, bob.user_id(), alice_first ? 2 : 4));
    v.add(v.b.grant_deleted(v.root(), v.b.grant_id("root"), test::root_permission(), 3));
    const auto verified = v.verified();
    const auto [s, admitted] = resolve_effective_with_deletions(v.b.selected_root(), verified, {});
    EXPECT_EQ(s.users.contains(bob.user_id()), !alice_first);
    EXPECT_EQ(admitted.size(), alice_first ? 2u : 1u);
    EXPECT_FALSE(s.authority_for_user(alice.user_id()).is_root);
  }
}

// Alice manages keyspace "a"; a deletion is judged by the permission it names and the one in force.
TEST(Deletions, GrantDeletionJudgedAgainstNamedAndInForcePermission) {
  const struct {
    const char* target;  // grant seed
    bool named_read;     // the deletion names read "a" rather than the root permission
    bool admitted;
  } cases[] = {{"bob-read", true, true},
               {"bob-root", true, false},
               {"bob-root", false, false},
               {"none", true, true},
               {"none", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.target << (c.named_read ? " named read" : " named root"));
    TestVault v;
    const auto& alice = v.id(2);
    const auto& bob = v.id(3);
    const auto read_a = test::read_permission(test::prefix({"a"}));
    v.enrol(alice).enrol(bob);
    v.add(v.b.grant(v.root(), "manage", user_ref(alice), test::manage_permission(test::prefix({"a"}))))
        .add(v.b.grant(v.root(), "bob-read", user_ref(bob), read_a))
        .add(v.b.grant(v.root(), "bob-root", user_ref(bob), test::root_permission()));
    v.add(v.b.grant_deleted(alice, v.b.grant_id(c.target), c.named_read ? read_a : test::root_permission()));
    const auto verified = v.verified();
    const auto [s, admitted] = resolve_effective_with_deletions(v.b.selected_root(), verified, {});
    EXPECT_EQ(admitted.size(), c.admitted ? 1u : 0u);
    EXPECT_EQ(s.deleted_grants.contains(v.b.grant_id(c.target)), c.admitted);
  }
}

}  // namespace
