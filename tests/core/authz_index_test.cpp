// The authority index must answer exactly as the plain scans do. Random
// sets over a small alphabet make every path relation (equal paths, one a
// prefix of the other, unrelated, Any) and every label matcher meet often;
// sets are large enough that the index, not the scan, answers.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "vornex/core/authz_index.hpp"

namespace {

using namespace vornex::core;

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  std::vector<std::string> path() {
    std::vector<std::string> out(pick(4));
    for (auto& segment : out) segment = kSegments[pick(kSegments.size())];
    return out;
  }

  KeyspaceSelectorV1 keyspace() {
    KeyspaceSelectorV1 out;
    // Any is kept rare: with many entries it would answer nearly every
    // question before the index is tried.
    switch (pick(12)) {
      case 0:
        out.tuple = tuple_matcher::Any{};
        break;
      case 1:
      case 2:
      case 3:
      case 4:
        out.tuple = tuple_matcher::Prefix{path()};
        break;
      default:
        out.tuple = tuple_matcher::Exact{path()};
        break;
    }
    // Keys ascending, as validation admits them; repeated keys are also
    // tried now and then, since the scans must agree on those too.
    for (const char* key : {"env", "team", "tier"}) {
      if (pick(2) != 0) continue;
      KeyspaceLabelMatcherV1 m{key, label_matcher::Present{}};
      switch (pick(4)) {
        case 0:
          break;
        case 1:
          m.matcher = label_matcher::Equals{kValues[pick(kValues.size())]};
          break;
        case 2: {
          std::vector<std::string> values;
          for (const auto& v : kValues) {
            if (pick(2) == 0) values.push_back(v);
          }
          m.matcher = label_matcher::In{values};
          break;
        }
        default:
          m.matcher = label_matcher::Absent{};
          break;
      }
      out.labels.push_back(m);
      if (pick(10) == 0) out.labels.push_back(out.labels.back());
    }
    return out;
  }

  ManageKeyspaceGrantV1 manage() {
    ManageKeyspaceGrantV1 out{keyspace(), {}};
    if (pick(2)) out.grantable.push_back(grant_class::Read{});
    if (pick(2)) out.grantable.push_back(grant_class::Write{});
    if (pick(2)) out.grantable.push_back(grant_class::Manage{});
    return out;
  }

  SecretSelectorV1 secret() {
    SecretSelectorV1 out{path(), {}};
    for (const char* key : {"env", "team", "tier"}) {
      if (pick(2) == 0) out.labels.push_back({key, kValues[pick(kValues.size())]});
      // A second label of one key, which no rule looks at.
      if (!out.labels.empty() && pick(10) == 0) out.labels.push_back({out.labels.back().key, kValues[pick(kValues.size())]});
    }
    return out;
  }

  GrantPermissionV1 permission() {
    switch (pick(4)) {
      case 0:
        return grant_permission::Read{keyspace()};
      case 1:
        return grant_permission::Write{keyspace()};
      case 2:
        return manage();
      default:
        return grant_permission::Root{};
    }
  }

  AuthoritySet set() {
    AuthoritySet out;
    const std::size_t n = AuthorityIndex::kScanLimit + pick(24);
    for (std::size_t i = 0; i < n; ++i) {
      switch (pick(3)) {
        case 0:
          out.read.push_back(keyspace());
          break;
        case 1:
          out.write.push_back(keyspace());
          break;
        default:
          out.manage.push_back(manage());
          break;
      }
    }
    return out;
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

 private:
  static inline const std::vector<std::string> kSegments{"a", "b", "c", "d"};
  static inline const std::vector<std::string> kValues{"x", "y", "z"};
  std::mt19937 rng_;
};

TEST(AuthorityIndex, AnswersAsTheScans) {
  std::size_t read_yes = 0, write_yes = 0, create_yes = 0, asked = 0;
  for (unsigned seed = 0; seed < 300; ++seed) {
    Generator g(seed);
    const AuthoritySet set = g.set();
    const AuthorityIndex index(set);
    for (int q = 0; q < 60; ++q) {
      const SecretSelectorV1 secret = g.secret();
      ASSERT_EQ(index.can_read(secret), set.can_read(secret)) << "seed " << seed << " query " << q;
      ASSERT_EQ(index.can_write(secret), set.can_write(secret)) << "seed " << seed << " query " << q;
      const GrantPermissionV1 permission = g.permission();
      ASSERT_EQ(index.can_create_permission(permission), set.can_create_permission(permission))
          << "seed " << seed << " query " << q;
      read_yes += set.can_read(secret);
      write_yes += set.can_write(secret);
      create_yes += set.can_create_permission(permission);
      ++asked;
    }
  }
  // Both answers must be common, or agreement proves little.
  for (const std::size_t yes : {read_yes, write_yes, create_yes}) {
    EXPECT_GT(yes, asked / 20);
    EXPECT_LT(yes, asked - asked / 20);
  }
}

TEST(AuthorityIndex, RootAndSmallSetsAnswerAsTheSet) {
  Generator g(7);
  const AuthoritySet root = AuthoritySet::root();
  const AuthorityIndex root_index(root);
  EXPECT_TRUE(root_index.can_create_permission(grant_permission::Root{}));
  EXPECT_TRUE(root_index.can_write(g.secret()));

  const AuthoritySet empty;
  const AuthorityIndex empty_index(empty);
  EXPECT_FALSE(empty_index.can_read(g.secret()));
  EXPECT_FALSE(empty_index.can_create_permission(g.permission()));
}

}  // namespace
