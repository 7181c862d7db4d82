// The focus deletion resolution puts on the sequence: once set, an
// admission carries a change only into what the final values it reads can
// depend on, found once here.
#include "sequence_impl.hpp"

#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vornex::core::validate::detail {

// From now on only what the final values of the focus can depend on is
// kept up to date: admissions that change nothing there cost nothing.
void Sequence::Impl::focus(std::span<const std::uint32_t> askers, std::span<const std::uint32_t> rooted,
                           std::span<const std::uint32_t> items) {
  focused_ = true;
  need_item_.assign(items_.size(), false);
  need_root_.assign(principals_.size(), false);
  need_entries_.assign(principals_.size(), false);
  need_question_.assign(questions_.size(), false);
  giving_entry_.assign(entry_groups_.size(), {});
  giving_root_.assign(principals_.size(), {});
  for (const Candidate& c : cands_) {
    step(1);
    if (c.entry != kNone) giving_entry_[c.entry].push_back(c.item);
    if (c.root_grant) giving_root_[c.named].push_back(c.item);
  }
  std::vector<bool> named(principals_.size(), false);
  for (const std::uint32_t p : askers) {
    if (named[p]) continue;
    named[p] = true;
    need(Need::Root, p);
    need(Need::Entries, p);
    if (const auto& asked = principals_[p].asked) {
      for (const std::uint32_t q : asked->questions) need(Need::Question, q);
    }
  }
  for (const std::uint32_t p : rooted) need(Need::Root, p);
  for (const std::uint32_t item : items) {
    if (item != kNone) need(Need::Item, item);
  }
}

// Puts one thing in focus and, with a stack rather than recursion (chains
// of groups can be long), everything its value reads: an item, its
// candidates' inputs; a root flag, the root grants to the principal and
// the memberships and flags above it; a principal's entries, its own
// and those above it, with the grants that give them; a question, its
// asker's root flag and entries. Each is put in focus once.
void Sequence::Impl::need(Need kind, std::uint32_t index) {
  std::vector<std::pair<Need, std::uint32_t>> stack{{kind, index}};
  const auto exists = [&](std::uint32_t p) {
    if (principals_[p].item != kNone) stack.emplace_back(Need::Item, principals_[p].item);
  };
  while (!stack.empty()) {
    const auto [what, i] = stack.back();
    stack.pop_back();
    step(1);
    switch (what) {
      case Need::Item: {
        if (need_item_[i]) break;
        need_item_[i] = true;
        const Item& item = items_[i];
        for (std::uint32_t c = item.first; c < item.last; ++c) {
          step(1);
          const Candidate& cand = cands_[c];
          std::visit(
              [&](const auto& b) {
                using B = std::decay_t<decltype(b)>;
                if constexpr (std::is_same_v<B, UserRecordV1> || std::is_same_v<B, GroupRecordV1> ||
                              std::is_same_v<B, GroupMemberDeletedRecordV1>) {
                  stack.emplace_back(Need::Root, cand.signer);
                } else if constexpr (std::is_same_v<B, GroupMemberRecordV1>) {
                  stack.emplace_back(Need::Root, cand.signer);
                  exists(cand.group);
                  exists(cand.named);
                } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
                  exists(cand.named);
                  stack.emplace_back(Need::Question, cand.question);
                }
              },
              cand.record->body());
        }
        break;
      }
      case Need::Root:
        if (need_root_[i]) break;
        need_root_[i] = true;
        for (const std::uint32_t item : giving_root_[i]) stack.emplace_back(Need::Item, item);
        for (const std::uint32_t m : principals_[i].up_all) {
          stack.emplace_back(Need::Item, memberships_[m].item);
          stack.emplace_back(Need::Root, memberships_[m].group);
        }
        break;
      case Need::Entries:
        if (need_entries_[i]) break;
        need_entries_[i] = true;
        if (i < held_.size()) {  // principals named later hold nothing
          for (const std::uint32_t g : held_[i]) {
            for (const std::uint32_t item : giving_entry_[g]) stack.emplace_back(Need::Item, item);
          }
        }
        for (const std::uint32_t m : principals_[i].up_all) {
          if (!principals_[memberships_[m].group].entries_above) continue;
          stack.emplace_back(Need::Item, memberships_[m].item);
          stack.emplace_back(Need::Entries, memberships_[m].group);
        }
        break;
      case Need::Question:
        if (need_question_[i]) break;
        need_question_[i] = true;
        stack.emplace_back(Need::Root, questions_[i].asker);
        stack.emplace_back(Need::Entries, questions_[i].asker);
        break;
    }
  }
}

}  // namespace vornex::core::validate::detail
