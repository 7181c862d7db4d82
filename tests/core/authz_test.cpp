// Authority sets and the selector relations behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vornex/core/authz.hpp"
#include "vornex/core/work.hpp"

namespace {

using namespace vornex::core;
namespace lm = label_matcher;
namespace gp = grant_permission;

using Strings = std::vector<std::string>;
using Matchers = std::vector<KeyspaceLabelMatcherV1>;
using Labels = std::vector<SecretLabelV1>;
using Keyspaces = std::vector<KeyspaceSelectorV1>;
using ManageList = std::vector<ManageKeyspaceGrantV1>;

KeyspaceSelectorV1 any(Matchers m = {}) { return {tuple_matcher::Any{}, std::move(m)}; }
KeyspaceSelectorV1 exact(Strings s, Matchers m = {}) { return {tuple_matcher::Exact{std::move(s)}, std::move(m)}; }
KeyspaceSelectorV1 prefix(Strings s, Matchers m = {}) { return {tuple_matcher::Prefix{std::move(s)}, std::move(m)}; }
KeyspaceLabelMatcherV1 present(std::string k) { return {std::move(k), lm::Present{}}; }
KeyspaceLabelMatcherV1 equals(std::string k, std::string v) { return {std::move(k), lm::Equals{std::move(v)}}; }
KeyspaceLabelMatcherV1 in(std::string k, Strings vs) { return {std::move(k), lm::In{std::move(vs)}}; }
KeyspaceLabelMatcherV1 absent(std::string k) { return {std::move(k), lm::Absent{}}; }
SecretSelectorV1 secret(Strings path, Labels labels = {}) { return {std::move(path), std::move(labels)}; }

const KeyspaceGrantClassV1 kRead = grant_class::Read{};
const KeyspaceGrantClassV1 kWrite = grant_class::Write{};
const KeyspaceGrantClassV1 kManage = grant_class::Manage{};
ManageKeyspaceGrantV1 manage(KeyspaceSelectorV1 s, std::vector<KeyspaceGrantClassV1> c) { return {std::move(s), std::move(c)}; }

AuthoritySet authority(Keyspaces read, Keyspaces write, ManageList manage, bool is_root = false) {
  return {std::move(read), std::move(write), std::move(manage), is_root};
}

// Every question the authority rules answer, so one table can ask them all.
struct Matches { KeyspaceSelectorV1 pattern; SecretSelectorV1 secret; };
struct Subsumes { KeyspaceSelectorV1 outer; KeyspaceSelectorV1 inner; };
struct CanRead { AuthoritySet set; SecretSelectorV1 secret; };
struct CanWrite { AuthoritySet set; SecretSelectorV1 secret; };
struct CanCreate { AuthoritySet set; GrantPermissionV1 permission; };
struct Ask {
  bool operator()(const Matches& q) const { return selector_matches(q.pattern, q.secret); }
  bool operator()(const Subsumes& q) const { return selector_subsumes(q.outer, q.inner); }
  bool operator()(const CanRead& q) const { return q.set.can_read(q.secret); }
  bool operator()(const CanWrite& q) const { return q.set.can_write(q.secret); }
  bool operator()(const CanCreate& q) const { return q.set.can_create_permission(q.permission); }
};
// The same questions through the relations for sorted selectors.
struct AskSorted {
  bool operator()(const Matches& q) const { return sorted_selector_matches(q.pattern, q.secret); }
  bool operator()(const Subsumes& q) const { return sorted_selector_subsumes(q.outer, q.inner); }
  bool operator()(const CanRead& q) const { return sorted_can_read(q.set, q.secret); }
  bool operator()(const CanWrite& q) const { return sorted_can_write(q.set, q.secret); }
  bool operator()(const CanCreate& q) const { return sorted_can_create_permission(q.set, q.permission); }
};
struct Case {
  const char* what;
  std::variant<Matches, Subsumes, CanRead, CanWrite, CanCreate> question;
  bool expected;
};

// "Does not cover" cases with a witness secret are left to the soundness sweep below.
TEST(AuthzEdgeCases, Table) {
  const AuthoritySet root = AuthoritySet::root();
  const AuthoritySet all_but_root = authority({any()}, {any()}, {manage(any(), {kRead, kWrite, kManage})});
  const AuthoritySet reader = authority({any()}, {}, {});
  const AuthoritySet writer = authority({}, {prefix({"db"})}, {});
  const AuthoritySet read_granter = authority({}, {}, {manage(any(), {kRead})});
  const AuthoritySet db_granter = authority({}, {}, {manage(prefix({"db"}), {kRead, kWrite})});
  const AuthoritySet split = authority({}, {}, {manage(any(), {kRead}), manage(any(), {kManage})});
  const AuthoritySet joint = authority({}, {}, {manage(any(), {kRead, kManage})});
  const SecretSelectorV1 db = secret({"db", "prod"}, {{"env", "prod"}});
  const SecretSelectorV1 web = secret({"web"});
  const Labels twice = {{"env", "a"}, {"env", "b"}};

  const std::vector<Case> cases = {
      {"root creates Root", CanCreate{root, gp::Root{}}, true},
      {"the flag alone writes", CanWrite{authority({}, {}, {}, true), db}, true},
      {"full lists, no flag: no Root", CanCreate{all_but_root, gp::Root{}}, false},
      {"empty set reads nothing", CanRead{AuthoritySet{}, web}, false},
      {"read list reads", CanRead{reader, db}, true},
      {"read list does not write", CanWrite{reader, db}, false},
      {"read list creates no Read", CanCreate{reader, gp::Read{prefix({"db"})}}, false},
      {"write list reads", CanRead{writer, db}, true},
      {"write list writes", CanWrite{writer, db}, true},
      {"write list stays in its keyspace", CanWrite{writer, web}, false},
      {"write list creates no Write", CanCreate{writer, gp::Write{prefix({"db"})}}, false},
      {"manage entry reads", CanRead{db_granter, db}, true},
      {"manage entry writes", CanWrite{db_granter, db}, true},
      {"Read class: any Read", CanCreate{read_granter, gp::Read{exact({"a"}, {equals("env", "x")})}}, true},
      {"Read class: no Write", CanCreate{read_granter, gp::Write{exact({"a"})}}, false},
      {"Read class: no Manage", CanCreate{read_granter, manage(exact({"a"}), {kRead})}, false},
      {"Write inside the managed prefix", CanCreate{db_granter, gp::Write{exact({"db", "x"})}}, true},
      {"Read wider than the managed prefix", CanCreate{db_granter, gp::Read{any()}}, false},
      {"Manage classes split over entries", CanCreate{split, manage(any(), {kRead, kManage})}, false},
      {"Manage classes in one entry", CanCreate{joint, manage(any(), {kRead, kManage})}, true},
      {"Manage passes on only what it lists", CanCreate{joint, manage(any(), {kWrite})}, false},
      {"empty grantable demands only Manage", CanCreate{split, manage(any(), {})}, true},
      {"empty grantable still needs Manage", CanCreate{read_granter, manage(any(), {})}, false},
      {"Exact [] matches []", Matches{exact({}), secret({})}, true},
      {"Exact [] refuses [a]", Matches{exact({}), secret({"a"})}, false},
      {"Prefix [a] matches [a]", Matches{prefix({"a"}), secret({"a"})}, true},
      {"Prefix [a] refuses []", Matches{prefix({"a"}), secret({})}, false},
      {"Absent matches no labels", Matches{any({absent("env")}), secret({})}, true},
      {"In [] refuses the key", Matches{any({in("env", {})}), secret({}, {{"env", ""}})}, false},
      {"first label decides Equals", Matches{any({equals("env", "b")}), secret({}, twice)}, false},
      {"first label decides In", Matches{any({in("env", {"b"})}), secret({}, twice)}, false},
      {"first label matches", Matches{any({equals("env", "a")}), secret({}, twice)}, true},
      {"Any covers everything", Subsumes{any(), exact({"a"}, {absent("k")})}, true},
      {"Prefix [a] covers Exact [a, b]", Subsumes{prefix({"a"}), exact({"a", "b"})}, true},
      {"Prefix [a] covers Prefix [a, b]", Subsumes{prefix({"a"}), prefix({"a", "b"})}, true},
      {"Prefix [] does not cover Any", Subsumes{prefix({}), any()}, false},
      {"In [x, y] covers Equals x", Subsumes{any({in("k", {"x", "y"})}), any({equals("k", "x")})}, true},
      {"In [x, y] covers In [x]", Subsumes{any({in("k", {"x", "y"})}), any({in("k", {"x"})})}, true},
      {"In [x, y] does not cover In [x, z]", Subsumes{any({in("k", {"x", "y"})}), any({in("k", {"x", "z"})})}, false},
      {"Equals x covers In [x, x]", Subsumes{any({equals("k", "x")}), any({in("k", {"x", "x"})})}, true},
      {"Equals x covers In []", Subsumes{any({equals("k", "x")}), any({in("k", {})})}, true},
      {"Present covers Equals", Subsumes{any({present("k")}), any({equals("k", "")})}, true},
      {"Absent covers Absent", Subsumes{any({absent("k")}), any({absent("k")})}, true},
      {"outer key missing from inner", Subsumes{any({present("k")}), any({present("j")})}, false},
      {"first inner matcher of a key decides", Subsumes{any({equals("k", "x")}), any({present("k"), equals("k", "x")})}, false},
  };
  // Every selector here is sorted, so the sorted relations answer alike.
  for (const auto& c : cases) {
    EXPECT_EQ(std::visit(Ask{}, c.question), c.expected) << c.what;
    EXPECT_EQ(std::visit(AskSorted{}, c.question), c.expected) << c.what << " (sorted)";
  }
}

TEST(SelectorMatches, Matchers) {
  const std::string nfc = "caf\xC3\xA9", nfd = "cafe\xCC\x81";
  const SecretSelectorV1 s = secret({"db", nfc}, {{"env", "prod"}, {"team", ""}});
  const std::vector<std::pair<KeyspaceSelectorV1, bool>> cases = {
      {any(), true}, {exact({"db", nfc}), true}, {exact({"db"}), false}, {exact({"db", nfd}), false},
      {exact({"DB", nfc}), false}, {prefix({"db"}), true}, {prefix({"d"}), false}, {prefix({"db", nfc, "x"}), false},
      {any({present("team")}), true}, {any({present("x")}), false},
      {any({equals("env", "prod")}), true}, {any({equals("env", "Prod")}), false}, {any({equals("x", "")}), false},
      {any({in("env", {"dev", "prod"})}), true}, {any({in("env", {"dev"})}), false}, {any({in("x", {"prod"})}), false},
      {any({absent("x")}), true}, {any({absent("team")}), false},
      {any({equals("env", "prod"), absent("x"), present("team")}), true}, {any({present("x"), equals("env", "prod")}), false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(selector_matches(cases[i].first, s), cases[i].second) << "case " << i;
}

TEST(AuthoritySet, RootHoldsEverythingAndPushUniqueAddsOnlyNewEntries) {
  EXPECT_EQ(AuthoritySet::root(), authority({any()}, {any()}, {manage(any(), {kRead, kWrite, kManage})}, true));
  ManageList list;
  EXPECT_TRUE(push_unique(list, manage(any(), {kRead, kWrite})));
  EXPECT_FALSE(push_unique(list, manage(any(), {kRead, kWrite})));
  EXPECT_TRUE(push_unique(list, manage(any(), {kWrite, kRead})));  // class order counts
  EXPECT_TRUE(push_unique(list, manage(prefix({}), {kRead, kWrite})));  // matches alike, differs in form
  EXPECT_EQ(list, (ManageList{manage(any(), {kRead, kWrite}), manage(any(), {kWrite, kRead}), manage(prefix({}), {kRead, kWrite})}));
}

// Over a small universe: a covering selector matches all the covered one does.
TEST(SelectorSubsumes, IsSoundAndReflexive) {
  const std::vector<Strings> paths = {{}, {"a"}, {"b"}, {"a", "a"}, {"a", "b"}, {"b", "a"}};
  const std::vector<Matchers> env = {{}, {present("env")}, {equals("env", "x")}, {in("env", {})}, {in("env", {"x"})},
                                     {in("env", {"x", "y"})}, {absent("env")}};
  std::vector<KeyspaceSelectorV1> sel;
  std::vector<SecretSelectorV1> sec;
  for (const auto& e : env) sel.push_back(any(e));
  for (const auto& p : paths) {
    for (const auto& e : env) {
      sel.push_back(exact(p, e));
      sel.push_back(prefix(p, e));
    }
    for (const Labels& l : std::vector<Labels>{{}, {{"env", "x"}}, {{"env", "z"}}, {{"env", "y"}, {"env", "x"}}}) sec.push_back(secret(p, l));
  }
  std::size_t covered = 0;
  for (const auto& outer : sel) {
    EXPECT_TRUE(selector_subsumes(outer, outer));
    for (const auto& inner : sel) {
      if (!selector_subsumes(outer, inner)) continue;
      ++covered;
      for (const auto& s : sec) {
        ASSERT_TRUE(!selector_matches(inner, s) || selector_matches(outer, s))
            << "outer " << &outer - sel.data() << ", inner " << &inner - sel.data() << ", secret " << &s - sec.data();
      }
    }
  }
  EXPECT_GT(covered, 2 * sel.size());  // more than the reflexive pairs
}

// Random sorted selectors over a small alphabet, with In lists long enough
// that both the merge and the binary searches of the sorted relations run:
// they answer as the literal ones do.
class SortedRelations : public ::testing::Test {
 protected:
  std::uint64_t state_ = 0x243f6a8885a308d3ULL;
  std::size_t below(std::size_t n) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>((state_ >> 33) % n);
  }
  std::string value() { return std::string(1, static_cast<char>('a' + below(6))) + std::to_string(below(40)); }
  Strings sorted_values(std::size_t most) {
    Strings v;
    const std::size_t n = below(most + 1);
    for (std::size_t i = 0; i < n; ++i) v.push_back(value());
    std::sort(v.begin(), v.end());
    if (below(4) != 0) v.erase(std::unique(v.begin(), v.end()), v.end());  // sometimes with repeats
    return v;
  }
  Strings path() {
    Strings p;
    for (std::size_t n = below(3); n > 0; --n) p.push_back(below(2) == 0 ? "a" : "b");
    return p;
  }
  KeyspaceSelectorV1 keyspace() {
    Matchers m;
    for (const char* key : {"env", "k", "team", "z"}) {
      switch (below(7)) {
        case 0: m.push_back(present(key)); break;
        case 1: m.push_back(equals(key, value())); break;
        case 2: m.push_back(in(key, sorted_values(3))); break;
        case 3: m.push_back(in(key, sorted_values(300))); break;
        case 4: m.push_back(absent(key)); break;
        default: break;
      }
    }
    switch (below(3)) {
      case 0: return any(std::move(m));
      case 1: return exact(path(), std::move(m));
      default: return prefix(path(), std::move(m));
    }
  }
  SecretSelectorV1 secret_selector() {
    Labels l;
    for (const char* key : {"env", "k", "team", "z"}) {
      if (below(3) != 0) l.push_back({key, value()});
    }
    return secret(path(), std::move(l));
  }
};

TEST_F(SortedRelations, AnswerAsTheLiteralOnes) {
  std::size_t covered = 0;
  std::size_t matched = 0;
  for (int round = 0; round < 20000; ++round) {
    KeyspaceSelectorV1 outer = keyspace();
    KeyspaceSelectorV1 inner = below(3) == 0 ? outer : keyspace();
    // Inner lists drawn from the outer's, so that coverage happens often.
    for (std::size_t i = 0; i < inner.labels.size() && i < outer.labels.size(); ++i) {
      auto* a = std::get_if<lm::In>(&outer.labels[i].matcher);
      auto* b = std::get_if<lm::In>(&inner.labels[i].matcher);
      if (a == nullptr || b == nullptr || below(2) == 0) continue;
      b->values.clear();
      for (const std::string& v : a->values) {
        if (below(3) == 0) b->values.push_back(v);
      }
    }
    const SecretSelectorV1 s = secret_selector();
    const bool subsumes = selector_subsumes(outer, inner);
    ASSERT_EQ(sorted_selector_subsumes(outer, inner), subsumes) << round;
    ASSERT_EQ(sorted_selector_matches(outer, s), selector_matches(outer, s)) << round;
    covered += subsumes;
    matched += selector_matches(outer, s);
  }
  // Both answers come up often enough to mean something.
  EXPECT_GT(covered, 1000u);
  EXPECT_GT(matched, 300u);
}

// A comparison of two long lists costs about their length, not its square.
TEST_F(SortedRelations, LongListsCostTheirLength) {
  constexpr std::size_t kValues = 20000;
  Strings many;
  for (std::size_t i = 0; i < kValues; ++i) many.push_back("v" + std::to_string(100000 + i));
  Strings more = many;
  more.push_back("w");
  const KeyspaceSelectorV1 entry = any({in("l", many)});
  const KeyspaceSelectorV1 question = any({in("l", more)});
  const std::uint64_t before = work_done();
  EXPECT_FALSE(sorted_selector_subsumes(entry, question));
  EXPECT_TRUE(sorted_selector_subsumes(question, entry));
  EXPECT_LE(work_done() - before, 4 * (2 * kValues + 2));
}

}  // namespace
