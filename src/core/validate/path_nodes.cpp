#include "path_nodes.hpp"

#include <utility>

#include "vornex/core/work.hpp"

namespace vornex::core::validate::detail::seq {

std::uint32_t PathNodes::intern(const std::vector<std::string>& segments) {
  std::uint32_t at = 0;
  for (const std::string& segment : segments) {
    const auto next = static_cast<std::uint32_t>(nodes_.size());
    const std::uint32_t parent = at;
    at = nodes_[parent].children.try_emplace(segment, next).first->second;
    count_work(1);
    if (at != next) continue;
    Node node{{}, parent, nodes_[parent].depth + 1, kNone, 0};
    if (numbered_) {
      node.anchor = nodes_[parent].anchor == kNone ? parent : nodes_[parent].anchor;
      node.late = ++late_;
    }
    nodes_.push_back(std::move(node));
  }
  return at;
}

void PathNodes::number() {
  if (numbered_) return;
  numbered_ = true;
  pre_.assign(nodes_.size(), 0);
  end_.assign(nodes_.size(), 0);
  std::vector<std::uint32_t> order;
  order.reserve(nodes_.size());
  std::vector<std::uint32_t> stack{0};
  while (!stack.empty()) {
    const std::uint32_t n = stack.back();
    stack.pop_back();
    pre_[n] = static_cast<std::uint32_t>(order.size());
    order.push_back(n);
    const auto& children = nodes_[n].children;
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(it->second);
  }
  // A node's range ends where its subtree does: sizes summed upward.
  std::vector<std::uint32_t> size(nodes_.size(), 1);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    if (*it != 0) size[nodes_[*it].parent] += size[*it];
    end_[*it] = pre_[*it] + size[*it];
  }
  count_work(nodes_.size());
}

}  // namespace vornex::core::validate::detail::seq
