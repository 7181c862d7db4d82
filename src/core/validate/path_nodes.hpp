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
#include <utility>
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
//
// A hostile path may hold millions of segments, so the tree is kept
// compressed: a node exists only for a path interned or for a branch
// between two, and a chain of segments between them is one edge that
// points at the segments of the path that made it. What it costs is a
// few words per path, never per segment. The numbers are still those of
// the whole tree, every prefix a node: a node on an edge is numbered by
// where it lies on it, so that one made later, when a path ends or
// branches there, sorts exactly where it would have.
class PathNodes {
 public:
  PathNodes() : nodes_{Node{nullptr, kNone, 0, 0, 0, 0}} {}

  // The node of `segments`, which must stay where they are while this
  // lives: the edges point into them.
  std::uint32_t intern(const std::vector<std::string>& segments);

  // Numbers the nodes there are in preorder; once.
  void number();

  // The nearest node above `node`: an interned path or a branch, not every
  // prefix; none above the root (the empty path).
  std::uint32_t parent(std::uint32_t node) const { return nodes_[node].parent; }
  // Its segments.
  std::uint32_t depth(std::uint32_t node) const { return nodes_[node].depth; }

  // A node's place in the order, once numbered: its preorder number, or
  // for a later one its nearest numbered ancestor's, then when it came.
  struct Key {
    std::uint32_t pre;
    std::uint32_t late;
    auto operator<=>(const Key&) const = default;
  };
  Key key(std::uint32_t node) const { return Key{nodes_[node].pre, nodes_[node].late}; }
  // The keys of `above`'s range, `above` numbered: [first, last).
  Key first(std::uint32_t above) const { return Key{nodes_[above].pre, 0}; }
  Key last(std::uint32_t above) const { return Key{nodes_[above].end, 0}; }
  // Whether `node` is `above` or below it, `above` numbered.
  bool within(std::uint32_t above, std::uint32_t node) const {
    const Key k = key(node);
    return first(above) <= k && k < last(above);
  }

 private:
  struct Node {
    const std::string* edge;  // the segments from the parent's depth to this one's
    std::uint32_t parent;
    std::uint32_t depth;  // its segments
    // Once numbered: for a node numbered, its preorder number (late 0) and
    // where its range ends; for one that came later, its nearest numbered
    // ancestor's number and the order it came in, from 1.
    std::uint32_t pre;
    std::uint32_t late;
    std::uint32_t end;
  };
  std::uint32_t add(Node node);
  // The node `depth` segments deep on the edge above `child`, made a node.
  std::uint32_t split(std::uint32_t child, std::uint32_t depth);
  // A new node below `parent` for the segments of `segments` from `from`.
  std::uint32_t leaf(std::uint32_t parent, const std::vector<std::string>& segments, std::uint32_t from);

  std::vector<Node> nodes_;
  // Each edge by the node above it and its first segment, so that the
  // children of a node are a range in order.
  std::map<std::pair<std::uint32_t, std::string_view>, std::uint32_t> edges_;
  bool numbered_ = false;
  std::uint32_t late_ = 0;
};

// Interned nodes in their order.
struct PreorderLess {
  const PathNodes* paths;
  bool operator()(std::uint32_t a, std::uint32_t b) const { return paths->key(a) < paths->key(b); }
};

}  // namespace vornex::core::validate::detail::seq
