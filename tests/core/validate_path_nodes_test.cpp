// The interned paths against a plain model: one tree node per prefix, each
// with an ordered map of its children, numbered in preorder. The compressed
// tree must give every interned path the same key, range and depth as the
// model does, whatever came before or after the numbering, and its parent
// walk must pass every interned path above.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "env_number.hpp"
#include "path_nodes.hpp"

namespace {

using vornex::core::validate::detail::seq::kNone;
using vornex::core::validate::detail::seq::PathNodes;
using Path = std::vector<std::string>;

// A node for every prefix.
class ModelPaths {
 public:
  std::uint32_t intern(const Path& segments) {
    std::uint32_t at = 0;
    for (const std::string& segment : segments) {
      const auto next = static_cast<std::uint32_t>(nodes_.size());
      const std::uint32_t parent = at;
      at = nodes_[parent].children.try_emplace(segment, next).first->second;
      if (at != next) continue;
      Node node{{}, parent, kNone, 0};
      if (numbered_) {
        node.anchor = nodes_[parent].anchor == kNone ? parent : nodes_[parent].anchor;
        node.late = ++late_;
      }
      nodes_.push_back(std::move(node));
    }
    return at;
  }

  void number() {
    if (numbered_) return;
    numbered_ = true;
    pre_.assign(nodes_.size(), 0);
    end_.assign(nodes_.size(), 0);
    std::uint32_t next = 0;
    walk(0, next);
  }

  PathNodes::Key key(std::uint32_t node) const {
    const Node& n = nodes_[node];
    return n.anchor == kNone ? PathNodes::Key{pre_[node], 0} : PathNodes::Key{pre_[n.anchor], n.late};
  }
  PathNodes::Key last(std::uint32_t node) const { return PathNodes::Key{end_[node], 0}; }

 private:
  struct Node {
    std::map<std::string_view, std::uint32_t> children;
    std::uint32_t parent;
    std::uint32_t anchor;
    std::uint32_t late;
  };

  void walk(std::uint32_t n, std::uint32_t& next) {
    pre_[n] = next++;
    for (const auto& [segment, child] : nodes_[n].children) walk(child, next);
    end_[n] = next;
  }

  std::vector<Node> nodes_{Node{{}, kNone, kNone, 0}};
  std::vector<std::uint32_t> pre_;
  std::vector<std::uint32_t> end_;
  bool numbered_ = false;
  std::uint32_t late_ = 0;
};

bool is_prefix(const Path& above, const Path& path) {
  return above.size() <= path.size() && std::equal(above.begin(), above.end(), path.begin());
}

// Interns paths into both, numbering both when told, and checks
// everything the fixed point reads of every path interned.
class Twin {
 public:
  // Room for every path: the nodes point into them.
  explicit Twin(std::size_t paths) { paths_.reserve(paths); }

  std::uint32_t intern(Path path) {
    paths_.push_back(std::move(path));
    const Path& p = paths_.back();
    const std::uint32_t got = nodes_.intern(p);
    const std::uint32_t want = model_.intern(p);
    // The same path twice is the same node, two paths two nodes.
    const auto [it, fresh] = by_model_.try_emplace(want, got);
    EXPECT_EQ(it->second, got) << "path " << paths_.size() - 1;
    if (fresh) {
      EXPECT_TRUE(first_path_.emplace(got, paths_.size() - 1).second) << "two paths at node " << got;
    }
    got_.push_back(got);
    want_.push_back(want);
    numbered_when_.push_back(numbered_);
    return got;
  }

  void number() {
    nodes_.number();
    model_.number();
    numbered_ = true;
  }

  void check() const {
    for (std::size_t i = 0; i < paths_.size(); ++i) {
      SCOPED_TRACE("path " + std::to_string(i));
      const Path& p = paths_[i];
      const std::uint32_t n = got_[i];
      EXPECT_EQ(nodes_.depth(n), p.size());
      check_walk_up(p, n);
      if (!numbered_) continue;
      EXPECT_EQ(nodes_.key(n), model_.key(want_[i]));
      if (numbered_when_[i]) continue;  // only nodes there when numbered have ranges
      EXPECT_EQ(nodes_.first(n), model_.key(want_[i]));
      EXPECT_EQ(nodes_.last(n), model_.last(want_[i]));
      for (std::size_t j = 0; j < paths_.size(); ++j) {
        EXPECT_EQ(nodes_.within(n, got_[j]), is_prefix(p, paths_[j])) << "below: path " << j;
      }
    }
  }

 private:
  // The walk up from `n` passes prefixes of `p` only, each higher than the
  // last, to the root; and every interned path above `p` is on it.
  void check_walk_up(const Path& p, std::uint32_t n) const {
    std::vector<std::uint32_t> walk;
    for (std::uint32_t at = nodes_.parent(n); at != kNone; at = nodes_.parent(at)) {
      EXPECT_LT(nodes_.depth(at), walk.empty() ? nodes_.depth(n) : nodes_.depth(walk.back()));
      if (const auto it = first_path_.find(at); it != first_path_.end()) {
        EXPECT_TRUE(is_prefix(paths_[it->second], p)) << "path " << it->second << " on the walk up";
      }
      walk.push_back(at);
      if (walk.size() > p.size()) break;
    }
    if (n == 0) {
      EXPECT_TRUE(walk.empty());
      return;
    }
    ASSERT_FALSE(walk.empty());
    EXPECT_EQ(walk.back(), 0u);
    for (const auto& [node, i] : first_path_) {
      if (node == n || !is_prefix(paths_[i], p)) continue;
      EXPECT_NE(std::find(walk.begin(), walk.end(), node), walk.end()) << "path " << i << " is not on the walk up";
    }
  }

  std::vector<Path> paths_;
  PathNodes nodes_;
  ModelPaths model_;
  std::map<std::uint32_t, std::uint32_t> by_model_;    // model node -> node
  std::map<std::uint32_t, std::size_t> first_path_;  // node -> the first path interned at it
  std::vector<std::uint32_t> got_;
  std::vector<std::uint32_t> want_;
  std::vector<bool> numbered_when_;  // whether the nodes were numbered when it came
  bool numbered_ = false;
};

// One step of a case: a path to intern, or the numbering (kNumber).
const Path kNumber{"<number>"};

Path chain(std::size_t n, const std::string& segment = "") { return Path(n, segment); }
Path with(Path path, std::initializer_list<std::string> more) {
  path.insert(path.end(), more);
  return path;
}

struct Case {
  const char* name;
  std::vector<Path> steps;
};

TEST(PathNodes, AgreesWithThePlainModel) {
  const std::vector<Case> cases{
      {"the root alone", {{}, kNumber, {}}},
      {"the same path twice", {{"a", "b"}, {"a", "b"}, kNumber, {"a", "b"}}},
      {"prefixes after the path", {{"a", "b", "c"}, {"a", "b"}, {"a"}, {}, kNumber}},
      {"prefixes before the path", {{"a"}, {"a", "b"}, {"a", "b", "c"}, kNumber}},
      {"siblings sort by segment", {{"b"}, {"a", "z"}, {"ab"}, {""}, {"a"}, kNumber}},
      {"a branch splits an edge", {{"a", "b", "c", "d"}, {"a", "b", "x"}, kNumber}},
      {"empty segments", {chain(5), chain(3), with(chain(2), {"a"}), {""}, kNumber, chain(4), with(chain(5), {""})}},
      {"empty and one-byte segments", {{"", "a"}, {"a", ""}, {"", ""}, {"a", "a"}, kNumber}},
      {"a long chain cut later", {chain(1000), kNumber, chain(500), with(chain(700), {"x"}), chain(999), chain(1001)}},
      {"a chain made late, then cut", {{"a"}, kNumber, with(chain(50, "q"), {"r"}), chain(20, "q"), chain(30, "q"),
                                       with(chain(20, "q"), {"s"}), with(chain(10, "q"), {"t", "u"})}},
      {"late below late", {{"a"}, kNumber, {"a", "b", "c"}, {"a", "b", "c", "d"}, {"a", "b", "e"}, {"a", "b"}}},
      {"late at the root", {kNumber, {"z"}, {"a"}, {"a", "b"}, {}}},
      {"a numbered edge ended on late", {{"a", "b", "c", "d", "e"}, kNumber, {"a", "b"}, {"a", "b", "c", "d"}}},
      {"numbering twice", {{"a", "b"}, kNumber, {"a", "c"}, kNumber, {"a", "d"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Twin twin(c.steps.size());
    for (const Path& step : c.steps) {
      if (step == kNumber) {
        twin.number();
      } else {
        twin.intern(step);
      }
      twin.check();
    }
  }
}

// Random paths over a few segments, empty ones among them, so that they
// share prefixes, end on edges and branch off them before and after the
// numbering; now and then a long run of one segment.
TEST(PathNodes, AgreesWithThePlainModelOnRandomPaths) {
  constexpr std::size_t kPaths = 40;
  constexpr std::size_t kMaxDepth = 9;
  constexpr std::size_t kLongRun = 60;
  const std::string segments[] = {"", "", "a", "b", "ab"};
  const std::uint64_t first = vornex::test::env_number("VORNEX_PATHS_FIRST_SEED", 1);
  const std::uint64_t count = vornex::test::env_number("VORNEX_PATHS_SEEDS", 300);
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    const auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    Twin twin(kPaths);
    const std::size_t number_at = below(kPaths + 1);
    std::vector<Path> made;
    for (std::size_t i = 0; i < kPaths; ++i) {
      if (i == number_at) twin.number();
      Path path;
      if (!made.empty() && below(2) == 0) {
        // From one made before: a prefix of it, or it extended.
        const Path& from = made[below(made.size())];
        path.assign(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(below(from.size() + 1)));
      }
      const std::size_t more = below(kMaxDepth);
      for (std::size_t k = 0; k < more; ++k) path.push_back(segments[below(std::size(segments))]);
      if (below(10) == 0) path.insert(path.end(), kLongRun + below(kLongRun), segments[below(std::size(segments))]);
      made.push_back(path);
      twin.intern(std::move(path));
    }
    twin.check();
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
