#include "path_nodes.hpp"

#include "vornex/core/work.hpp"

namespace vornex::core::validate::detail::seq {

std::uint32_t PathNodes::add(Node node) {
  const auto id = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back(node);
  return id;
}

std::uint32_t PathNodes::intern(const std::vector<std::string>& segments) {
  const auto total = static_cast<std::uint32_t>(segments.size());
  std::uint32_t at = 0;
  std::uint32_t depth = 0;
  while (depth < total) {
    count_work(1);
    const auto it = edges_.find({at, segments[depth]});
    if (it == edges_.end()) return leaf(at, segments, depth);
    const std::uint32_t child = it->second;
    const Node& below = nodes_[child];
    const std::uint32_t length = below.depth - nodes_[at].depth;
    // Along the edge for as long as the path agrees with it.
    std::uint32_t along = 1;
    ++depth;
    while (along < length && depth < total && below.edge[along] == segments[depth]) {
      count_work(1);
      ++along;
      ++depth;
    }
    at = along < length ? split(child, depth) : child;
  }
  return at;
}

std::uint32_t PathNodes::split(std::uint32_t child, std::uint32_t depth) {
  const Node below = nodes_[child];
  const std::uint32_t above = below.parent;
  const std::uint32_t cut = depth - nodes_[above].depth;
  Node middle{below.edge, above, depth, 0, 0, 0};
  if (numbered_ && below.late == 0) {
    // Numbered with the edge: the prefixes on it come one after another
    // in preorder, and its range is the one of the node below.
    middle.pre = below.pre - (below.depth - depth);
    middle.end = below.end;
  } else if (numbered_) {
    // Came with the edge, in one walk down: one number per segment.
    middle.pre = below.pre;
    middle.late = below.late - (below.depth - depth);
  }
  const std::uint32_t id = add(middle);
  edges_.find({above, *below.edge})->second = id;
  nodes_[child].edge = below.edge + cut;
  nodes_[child].parent = id;
  edges_.emplace(std::pair<std::uint32_t, std::string_view>{id, *nodes_[child].edge}, child);
  return id;
}

std::uint32_t PathNodes::leaf(std::uint32_t parent, const std::vector<std::string>& segments, std::uint32_t from) {
  const auto total = static_cast<std::uint32_t>(segments.size());
  Node node{segments.data() + from, parent, total, 0, 0, 0};
  if (numbered_) {
    // As if each segment had come as a node of its own: all after the
    // parent's nearest numbered ancestor (or the parent itself), the leaf
    // last.
    late_ += total - from;
    node.pre = nodes_[parent].pre;
    node.late = late_;
  }
  const std::uint32_t id = add(node);
  edges_.emplace(std::pair<std::uint32_t, std::string_view>{parent, segments[from]}, id);
  count_work(total - from - 1);  // the first was counted finding no edge for it
  return id;
}

void PathNodes::number() {
  if (numbered_) return;
  numbered_ = true;
  const auto count = static_cast<std::uint32_t>(nodes_.size());
  // Preorder of the nodes, children in the order of their first segment.
  std::vector<std::uint32_t> order;
  order.reserve(count);
  std::vector<std::uint32_t> stack{0};
  while (!stack.empty()) {
    const std::uint32_t n = stack.back();
    stack.pop_back();
    order.push_back(n);
    const auto from = edges_.lower_bound({n, std::string_view()});
    const auto to = edges_.lower_bound({n + 1, std::string_view()});
    for (auto it = to; it != from;) stack.push_back((--it)->second);
  }
  // Sizes in the whole tree: each edge holds one prefix per segment.
  std::vector<std::uint32_t> size(count, 1);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const Node& n = nodes_[*it];
    if (*it != 0) size[n.parent] += size[*it] + (n.depth - nodes_[n.parent].depth - 1);
  }
  // A child starts behind its parent, its elder siblings' subtrees and the
  // prefixes on its own edge; `end` counts off the parent's subtree as its
  // children are met, and is its true end once all were.
  nodes_[0].pre = 0;
  nodes_[0].end = 1;
  for (const std::uint32_t n : order) {
    if (n == 0) continue;
    Node& node = nodes_[n];
    Node& parent = nodes_[node.parent];
    node.pre = parent.end + (node.depth - parent.depth - 1);
    node.end = node.pre + 1;
    parent.end += size[n] + (node.depth - parent.depth - 1);
  }
  count_work(count);
}

}  // namespace vornex::core::validate::detail::seq
