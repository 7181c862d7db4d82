// The paths questions and manage entries name, interned and numbered so
// that the paths at and below one are a range: filing and looking up by
// path then walks a path once, however many label matchers ride on it.
#pragma once

#include <compare>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vornex::core::validate::detail::seq {

// No node; and likewise no principal, item, question or candidate.
inline constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Every path a question or a manage entry names, interned once, so that
// filing a question walks its path once however many label matchers it
// has. The nodes are numbered in preorder once, when the fixed point first
// needs them, so that the paths at and below one are a range. A path that
// comes later (a question asked during deletion resolution) is never
// numbered again: it sorts right after its nearest numbered ancestor, in
// the order such paths came, which is where a range that holds that
// ancestor holds it too. So no order already used changes, and nothing is
// renumbered however many paths come.
class PathNodes {
 public:
  PathNodes() : nodes_{Node{{}, 0, 0, kNone, 0}} {}

  std::uint32_t intern(const std::vector<std::string>& segments);

  // Numbers the nodes there are in preorder; once.
  void number();

  // The node above `node`; none above the root (the empty path).
  std::uint32_t parent(std::uint32_t node) const { return node == 0 ? kNone : nodes_[node].parent; }
  std::uint32_t depth(std::uint32_t node) const { return nodes_[node].depth; }

  // A node's place in the order, once numbered: its preorder number, or
  // for a later one its nearest numbered ancestor's, then when it came.
  struct Key {
    std::uint32_t pre;
    std::uint32_t late;
    auto operator<=>(const Key&) const = default;
  };
  Key key(std::uint32_t node) const {
    const Node& n = nodes_[node];
    return n.anchor == kNone ? Key{pre_[node], 0} : Key{pre_[n.anchor], n.late};
  }
  // The keys of `above`'s range, `above` numbered: [first, last).
  Key first(std::uint32_t above) const { return Key{pre_[above], 0}; }
  Key last(std::uint32_t above) const { return Key{end_[above], 0}; }
  // Whether `node` is `above` or below it, `above` numbered.
  bool within(std::uint32_t above, std::uint32_t node) const {
    const Key k = key(node);
    return first(above) <= k && k < last(above);
  }

 private:
  struct Node {
    std::map<std::string_view, std::uint32_t> children;
    std::uint32_t parent;
    std::uint32_t depth;   // its segments
    std::uint32_t anchor;  // for a node that came after the numbering, its nearest numbered ancestor
    std::uint32_t late;    // and the order it came in, from 1
  };
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> pre_;
  std::vector<std::uint32_t> end_;
  bool numbered_ = false;
  std::uint32_t late_ = 0;
};

// Interned nodes in their order.
struct PreorderLess {
  const PathNodes* paths;
  bool operator()(std::uint32_t a, std::uint32_t b) const { return paths->key(a) < paths->key(b); }
};

}  // namespace vornex::core::validate::detail::seq
