// Authorities hold a group's authority once and reach it through
// memberships. On random selections (grants to users and groups, nested,
// cyclic and self memberships), every principal's set made on request must
// be the one the literal derivation gives, whichever principal is asked
// first, and every question must be answered as that set answers it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "case_name.hpp"
#include "reference_validate.hpp"
#include "vornex/core/validate/authorities.hpp"
#include "vornex/core/work.hpp"

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

// Grants and memberships written by hand into a selection, each under an
// id of its own.
class SelectionWriter {
 public:
  void member(const GroupId& group, PrincipalRefV1 member) {
    const GroupMemberId id(fresh_id());
    selection.group_members.emplace(id, GroupMemberRecordV1{id, group, std::move(member), 1});
  }
  void grant(PrincipalRefV1 to, GrantPermissionV1 permission) {
    const GrantId id(fresh_id());
    selection.grants.emplace(id, GrantRecordV1{id, IdSeed(cord::Bytes{1}), std::move(to), std::move(permission), 1});
  }

  test::reference::Selection selection;

 private:
  HashValue fresh_id() {
    cord::Bytes bytes(32, 0x3C);
    bytes[0] = static_cast<std::uint8_t>(next_id_ >> 8);
    bytes[1] = static_cast<std::uint8_t>(next_id_);
    ++next_id_;
    return HashValue(std::move(bytes));
  }
  int next_id_ = 0;
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

// Lines of nested groups, some holding sets and some nothing, now and then
// a group in a second group or a cycle back to the top, with users in them
// directly or through groups of their own: the walks shared along lines,
// the jumps over merged segments and the indexes merged for one asking
// group must answer as the literal sets do, whatever order users ask in.
TEST(Authorities, LinesOfGroupsAnswerAsTheirSets) {
  const UserId root = user_id(0);
  std::size_t segments_asked = 0;
  std::size_t in_two = 0;
  for (unsigned seed = 0; seed < 300; ++seed) {
    Selections g(seed);
    SelectionWriter w;
    const auto add_member = [&](const GroupId& group, PrincipalRefV1 member) { w.member(group, std::move(member)); };
    const auto add_grant = [&](PrincipalRefV1 to) { w.grant(std::move(to), g.permission()); };
    const int depth = 1 + static_cast<int>(g.pick(40));
    for (int k = 0; k < depth; ++k) {
      if (g.pick(3) != 0) add_grant(PrincipalRefV1{group_id(k)});
      if (k > 0) add_member(group_id(k - 1), PrincipalRefV1{group_id(k)});
      if (k > 1 && g.pick(8) == 0) add_member(group_id(static_cast<int>(g.pick(static_cast<std::size_t>(k)))),
                                              PrincipalRefV1{group_id(k)});
    }
    if (g.pick(4) == 0) add_member(group_id(depth - 1), PrincipalRefV1{group_id(0)});
    constexpr int kUsers = 6;
    for (int u = 1; u <= kUsers; ++u) {
      const GroupId at = group_id(static_cast<int>(g.pick(static_cast<std::size_t>(depth))));
      // Now and then in a second group of the chain too (itself, or its
      // own group), so that its questions start up two lines.
      const bool two = g.pick(3) == 0;
      const GroupId second = group_id(static_cast<int>(g.pick(static_cast<std::size_t>(depth))));
      in_two += two ? 1 : 0;
      if (g.pick(2) == 0) {
        add_member(at, PrincipalRefV1{user_id(u)});
        if (two) add_member(second, PrincipalRefV1{user_id(u)});
      } else {
        const GroupId own = group_id(100 + u);
        add_member(at, PrincipalRefV1{own});
        if (two) add_member(second, PrincipalRefV1{own});
        add_member(own, PrincipalRefV1{user_id(u)});
      }
      if (g.pick(5) == 0) add_grant(PrincipalRefV1{user_id(u)});
    }
    const auto literal = test::reference::derive_authorities(w.selection, root);
    const Authorities authorities = Authorities::derive(root, w.selection.grants, w.selection.group_members);
    const AuthoritySet none;
    for (int q = 0; q < 40 * kUsers; ++q) {
      const UserId user = user_id(1 + static_cast<int>(g.pick(kUsers)));
      const auto found = literal.find(PrincipalRefV1{user});
      const AuthoritySet& set = found == literal.end() ? none : found->second;
      const SecretSelectorV1 secret = g.secret();
      const GrantPermissionV1 permission = g.permission();
      ASSERT_EQ(authorities.can_read(user, secret), set.can_read(secret)) << "seed " << seed << ", question " << q;
      ASSERT_EQ(authorities.can_write(user, secret), set.can_write(secret)) << "seed " << seed << ", question " << q;
      ASSERT_EQ(authorities.can_create_permission(user, permission), set.can_create_permission(permission))
          << "seed " << seed << ", question " << q;
    }
    segments_asked += depth > 8 ? 1 : 0;
  }
  EXPECT_GT(segments_asked, 200u);
  EXPECT_GT(in_two, 400u);
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

// Askers below a chain of groups, each group holding write over its own
// g<k>: the chain's walk is shared by the askers that are direct members
// of the same group, or of groups of their own that hold nothing below it,
// and an asker's many questions stop looking through the chain group by
// group once that has cost as much as one index over all of it. Answers
// are those of the literal sets either way.
struct ChainAsking {
  int askers;
  int questions_each;
  bool own_groups = false;
};

void PrintTo(const ChainAsking& c, std::ostream* os) {
  *os << c.askers << " askers, " << c.questions_each << " questions each" << (c.own_groups ? ", own groups" : "");
}

class AuthoritiesBelowAChain : public ::testing::TestWithParam<ChainAsking> {};

// Ids beyond the 256 the one-byte helpers give.
GroupId chain_group(int i) {
  cord::Bytes bytes(32, 0xC4);
  bytes[0] = static_cast<std::uint8_t>(i >> 8);
  bytes[1] = static_cast<std::uint8_t>(i);
  return GroupId(HashValue(std::move(bytes)));
}
UserId chain_user(int i) {
  cord::Bytes bytes(32, 0xA5);
  bytes[0] = static_cast<std::uint8_t>(i >> 8);
  bytes[1] = static_cast<std::uint8_t>(i);
  return UserId(HashValue(std::move(bytes)));
}

TEST_P(AuthoritiesBelowAChain, CostTheChainOnce) {
  constexpr int kDepth = 200;
  // A walk step per group and edge, an index entry per group merged, and a
  // handful of trie nodes, slots and matchers per question: far below the
  // depth a question or an asker would cost if each walked the chain.
  constexpr std::uint64_t kStepsPerUnit = 16;
  const ChainAsking asking = GetParam();
  const UserId root = user_id(0);
  SelectionWriter w;
  const auto add_member = [&](const GroupId& group, PrincipalRefV1 member) { w.member(group, std::move(member)); };
  for (int k = 0; k < kDepth; ++k) {
    const KeyspaceSelectorV1 own{tuple_matcher::Prefix{{"g" + std::to_string(k)}}, {}};
    w.grant(PrincipalRefV1{chain_group(k)}, grant_permission::Write{own});
    if (k > 0) add_member(chain_group(k - 1), PrincipalRefV1{chain_group(k)});
  }
  const test::reference::Selection& selection = w.selection;
  for (int u = 0; u < asking.askers; ++u) {
    if (!asking.own_groups) {
      add_member(chain_group(kDepth - 1), PrincipalRefV1{chain_user(u)});
      continue;
    }
    const GroupId own = chain_group(kDepth + u);
    add_member(chain_group(kDepth - 1), PrincipalRefV1{own});
    add_member(own, PrincipalRefV1{chain_user(u)});
  }
  const auto literal = test::reference::derive_authorities(selection, root);
  const Authorities authorities = Authorities::derive(root, selection.grants, selection.group_members);

  std::uint64_t work = 0;
  for (int u = 0; u < asking.askers; ++u) {
    const AuthoritySet& set = literal.at(PrincipalRefV1{chain_user(u)});
    for (int q = 0; q < asking.questions_each; ++q) {
      // The top group's keyspace, one inside the chain, and one outside it.
      const std::string first = q % 3 == 0 ? "g0" : q % 3 == 1 ? "g" + std::to_string(q % kDepth) : "h";
      const SecretSelectorV1 secret{{first, "s" + std::to_string(q)}, {}};
      const std::uint64_t before = work_done();
      const bool can = authorities.can_write(chain_user(u), secret);
      work += work_done() - before;
      ASSERT_EQ(can, set.can_write(secret)) << "asker " << u << ", question " << q;
      ASSERT_EQ(can, q % 3 != 2);
    }
  }
  const auto units = static_cast<std::uint64_t>(kDepth + (asking.own_groups ? 2 : 1) * asking.askers +
                                                asking.askers * asking.questions_each);
  EXPECT_LE(work, kStepsPerUnit * units);
}

INSTANTIATE_TEST_SUITE_P(Authorities, AuthoritiesBelowAChain,
                         ::testing::Values(ChainAsking{1, 2000}, ChainAsking{500, 1}, ChainAsking{50, 40},
                                           ChainAsking{200, 1, true}, ChainAsking{50, 40, true}),
                         [](const auto& info) {
                           const ChainAsking& c = info.param;
                           return test::case_name(info.index, std::to_string(c.askers) + " askers " +
                                                                  std::to_string(c.questions_each) + " questions" +
                                                                  (c.own_groups ? " own groups" : ""));
                         });

}  // namespace
