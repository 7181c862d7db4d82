// Authorities hold a group's authority once and reach it through
// memberships. On random selections (grants to users and groups, nested,
// cyclic and self memberships), every principal's set made on request must
// be the one the literal derivation gives, whichever principal is asked
// first, and every question must be answered as that set answers it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "reference_validate.hpp"
#include "vornex/core/validate/authorities.hpp"

namespace {

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;

UserId user_id(int i) { return UserId(HashValue(cord::Bytes(32, static_cast<std::uint8_t>(i)))); }
GroupId group_id(int i) { return GroupId(HashValue(cord::Bytes(32, static_cast<std::uint8_t>(100 + i)))); }

class Selections {
 public:
  explicit Selections(unsigned seed) : rng_(seed) {}

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  PrincipalRefV1 principal() {
    return pick(2) == 0 ? PrincipalRefV1{user_id(1 + static_cast<int>(pick(kUsers)))}
                        : PrincipalRefV1{group_id(static_cast<int>(pick(kGroups)))};
  }

  KeyspaceSelectorV1 keyspace() {
    KeyspaceSelectorV1 out;
    std::vector<std::string> path(pick(3));
    for (auto& s : path) s = kSegments[pick(kSegments.size())];
    switch (pick(4)) {
      case 0: out.tuple = tuple_matcher::Any{}; break;
      case 1: out.tuple = tuple_matcher::Prefix{path}; break;
      default: out.tuple = tuple_matcher::Exact{path}; break;
    }
    if (pick(3) == 0) out.labels.push_back({"env", label_matcher::Equals{kValues[pick(kValues.size())]}});
    return out;
  }

  GrantPermissionV1 permission() {
    switch (pick(7)) {
      case 0:
      case 1: return grant_permission::Read{keyspace()};
      case 2:
      case 3: return grant_permission::Write{keyspace()};
      case 4:
      case 5: {
        ManageKeyspaceGrantV1 m{keyspace(), {}};
        if (pick(2)) m.grantable.push_back(grant_class::Read{});
        if (pick(2)) m.grantable.push_back(grant_class::Write{});
        if (pick(2)) m.grantable.push_back(grant_class::Manage{});
        return m;
      }
      default: return grant_permission::Root{};
    }
  }

  // Grants and memberships in force, keyed as a selection keys them.
  test::reference::Selection selection() {
    test::reference::Selection s;
    const std::size_t grants = pick(30);
    for (std::size_t i = 0; i < grants; ++i) {
      // A few permissions repeat, so that lists skip what they hold.
      const GrantPermissionV1 p = pick(5) == 0 && !s.grants.empty() ? *s.grants.begin()->second.permission
                                                                    : permission();
      const GrantId id(HashValue(cord::Bytes(32, static_cast<std::uint8_t>(i))));
      s.grants.emplace(id, GrantRecordV1{id, IdSeed(cord::Bytes{1}), principal(), p, 1});
    }
    const std::size_t members = pick(16);
    for (std::size_t i = 0; i < members; ++i) {
      const GroupMemberId id(HashValue(cord::Bytes(32, static_cast<std::uint8_t>(200 - i))));
      s.group_members.emplace(id, GroupMemberRecordV1{id, group_id(static_cast<int>(pick(kGroups))), principal(), 1});
    }
    return s;
  }

  SecretSelectorV1 secret() {
    SecretSelectorV1 out;
    out.tuple.resize(pick(3));
    for (auto& s : out.tuple) s = kSegments[pick(kSegments.size())];
    if (pick(2) == 0) out.labels.push_back({"env", kValues[pick(kValues.size())]});
    return out;
  }

  static constexpr std::size_t kUsers = 5;
  static constexpr std::size_t kGroups = 5;

 private:
  static inline const std::vector<std::string> kSegments{"a", "b"};
  static inline const std::vector<std::string> kValues{"x", "y"};
  std::mt19937 rng_;
};

TEST(Authorities, SetsMadeOnRequestAreTheDerivations) {
  const UserId root = user_id(0);
  std::size_t memberships_passed = 0;
  for (unsigned seed = 0; seed < 400; ++seed) {
    Selections g(seed);
    const test::reference::Selection selection = g.selection();
    const auto literal = test::reference::derive_authorities(selection, root);
    const Authorities all = Authorities::derive(root, selection.grants, selection.group_members);
    ASSERT_EQ(all.materialized(), literal) << "seed " << seed;
    // Each principal asked first of a fresh object, then all of them in a
    // random order of one: what one request makes must not change another.
    std::vector<PrincipalRefV1> order;
    for (const auto& [p, set] : literal) order.push_back(p);
    for (const PrincipalRefV1& p : order) {
      const Authorities fresh = Authorities::derive(root, selection.grants, selection.group_members);
      ASSERT_NE(fresh.find(p), nullptr);
      ASSERT_EQ(*fresh.find(p), literal.at(p)) << "seed " << seed;
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    const Authorities one = Authorities::derive(root, selection.grants, selection.group_members);
    for (const PrincipalRefV1& p : order) ASSERT_EQ(one.at(p), literal.at(p)) << "seed " << seed;
    EXPECT_EQ(one.size(), literal.size());
    for (std::size_t u = 0; u <= Selections::kUsers; ++u) {
      const UserId user = user_id(static_cast<int>(u));
      const auto found = literal.find(PrincipalRefV1{user});
      const AuthoritySet none;
      const AuthoritySet& set = found == literal.end() ? none : found->second;
      EXPECT_EQ(one.contains(PrincipalRefV1{user}), found != literal.end());
      EXPECT_EQ(one.is_root(user), set.is_root) << "seed " << seed;
      for (int q = 0; q < 20; ++q) {
        const SecretSelectorV1 secret = g.secret();
        const GrantPermissionV1 permission = g.permission();
        ASSERT_EQ(one.can_read(user, secret), set.can_read(secret)) << "seed " << seed;
        ASSERT_EQ(one.can_write(user, secret), set.can_write(secret)) << "seed " << seed;
        ASSERT_EQ(one.can_create_permission(user, permission), set.can_create_permission(permission))
            << "seed " << seed;
      }
    }
    for (const auto& [id, member] : selection.group_members) {
      memberships_passed += literal.contains(PrincipalRefV1{member.group_id}) ? 1 : 0;
    }
  }
  // Most selections pass authority through memberships, or this proves little.
  EXPECT_GT(memberships_passed, 1000u);
}

// A copy answers as its original, and assigning a set by hand replaces what
// the principal had.
TEST(Authorities, CopiesAndAssignedSets) {
  const UserId root = user_id(0);
  const test::reference::Selection selection = Selections(3).selection();
  Authorities original = Authorities::derive(root, selection.grants, selection.group_members);
  for (const auto& [p, set] : original.materialized()) (void)original.at(p);  // made before the copy
  const Authorities copy = original;
  EXPECT_EQ(copy.materialized(), original.materialized());
  original.assign(PrincipalRefV1{user_id(9)}, AuthoritySet::root());
  EXPECT_TRUE(original.is_root(user_id(9)));
  EXPECT_FALSE(copy.contains(PrincipalRefV1{user_id(9)}));
  EXPECT_EQ(original.at(PrincipalRefV1{user_id(9)}), AuthoritySet::root());
}

}  // namespace
