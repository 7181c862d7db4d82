#include "standing.hpp"

#include <deque>
#include <variant>

#include "vornex/core/authz_index.hpp"

namespace vornex::core::validate::detail {

namespace {

constexpr std::size_t kLabelledLookedAt = 64;

unsigned class_bits(const std::vector<KeyspaceGrantClassV1>& classes) {
  unsigned bits = 0;
  for (const KeyspaceGrantClassV1& c : classes) bits |= 1u << c.index();
  return bits;
}

}  // namespace

void StandingAuthority::index_once() {
  if (indexed_) return;
  indexed_ = true;
  for (const auto& grant : state_.grants) {
    const GrantPermissionV1& permission = grant.second.permission;
    if (std::holds_alternative<grant_permission::Manage>(permission) ||
        std::holds_alternative<grant_permission::Root>(permission)) {
      grants_to_[grant.second.grantee].push_back(&grant);
    }
  }
  for (const auto& [id, member] : state_.group_members) {
    groups_of_[member.member].push_back(
        Link{member.group_id, history_.since(id), influence_.key_node(RecordKey{record_key::GroupMember{id}})});
  }
}

StandingAuthority::Holdings& StandingAuthority::holdings(const PrincipalRefV1& principal) {
  const auto [it, created] = holdings_.try_emplace(principal);
  Holdings& h = it->second;
  if (!created) return h;
  const auto grants = grants_to_.find(principal);
  if (grants == grants_to_.end()) return h;
  for (const auto* grant : grants->second) {
    const std::uint8_t since = history_.since(grant->first);
    if (since == 0) continue;  // not in the last selection: cannot stand
    const std::uint32_t node = influence_.key_node(RecordKey{record_key::Grant{grant->first}});
    const auto* entry = std::get_if<grant_permission::Manage>(&*grant->second.permission);
    if (entry == nullptr) {
      h.roots.emplace(since, node);
      continue;
    }
    const auto at = static_cast<std::uint32_t>(h.held.size());
    h.held.push_back(Held{since, node, entry});
    Trie& trie = h.by_classes[class_bits(entry->grantable)];
    trie.empty = false;
    Slot* slot = &trie.any;
    const TupleMatcherV1& path = entry->selector.tuple;
    if (!std::holds_alternative<tuple_matcher::Any>(path)) {
      const bool exact = std::holds_alternative<tuple_matcher::Exact>(path);
      const auto& segments =
          exact ? std::get<tuple_matcher::Exact>(path).segments : std::get<tuple_matcher::Prefix>(path).segments;
      Node* node_at = &trie.root;
      for (const std::string& segment : segments) {
        auto& child = node_at->children[segment];
        if (!child) child = std::make_unique<Node>();
        node_at = child.get();
      }
      slot = exact ? &node_at->exact : &node_at->prefix;
    }
    if (entry->selector.labels.empty()) {
      slot->plain.emplace(since, at);
    } else {
      slot->labelled.push_back(at);
    }
  }
  return h;
}

// Entries found touched are dropped for good: touches last until the next
// computation, which makes a new object.
bool StandingAuthority::slot_covers(Holdings& h, Slot& slot, const KeyspaceSelectorV1& target, std::uint8_t before,
                                    std::uint32_t removed) {
  for (auto it = slot.plain.begin(); it != slot.plain.end() && it->first < before;) {
    const Held& held = h.held[it->second];
    if (influence_.touched(held.node)) {
      it = slot.plain.erase(it);
      continue;
    }
    if (held.node != removed && selector_subsumes(held.entry->selector, target)) return true;
    ++it;
  }
  // Entries with label matchers are looked through one by one, so only so
  // many: finding no cover among more leaves the removal to other proof.
  std::size_t looked_at = 0;
  for (std::size_t i = 0; i < slot.labelled.size() && looked_at < kLabelledLookedAt;) {
    const Held& held = h.held[slot.labelled[i]];
    if (influence_.touched(held.node)) {
      slot.labelled[i] = slot.labelled.back();
      slot.labelled.pop_back();
      continue;
    }
    ++looked_at;
    if (held.since < before && held.node != removed && selector_subsumes(held.entry->selector, target)) return true;
    ++i;
  }
  return false;
}

bool StandingAuthority::trie_covers(Holdings& h, Trie& trie, const KeyspaceSelectorV1& target, std::uint8_t before,
                                    std::uint32_t removed) {
  return trie_may_cover(trie, target, [&](Slot& slot) { return slot_covers(h, slot, target, before, removed); });
}

bool StandingAuthority::has_root(Holdings& h, std::uint8_t before, std::uint32_t removed) {
  for (auto it = h.roots.begin(); it != h.roots.end() && it->first < before;) {
    if (influence_.touched(it->second)) {
      it = h.roots.erase(it);
      continue;
    }
    if (it->second != removed) return true;
    ++it;
  }
  return false;
}

bool StandingAuthority::has_entry(Holdings& h, const ManageKeyspaceGrantV1& entry, std::uint8_t before,
                                  std::uint32_t removed) {
  const unsigned required = class_bits(entry.grantable);
  for (unsigned bits = 0; bits < h.by_classes.size(); ++bits) {
    Trie& trie = h.by_classes[bits];
    if ((bits & required) != required || trie.empty) continue;
    if (trie_covers(h, trie, entry.selector, before, removed)) return true;
  }
  return false;
}

// The principal's own standing grants, then those of the groups it stands
// in, upwards: whatever a group holds reaches its members within the same
// iteration.
bool StandingAuthority::covers(const PrincipalRefV1& principal, const GrantPermissionV1& permission,
                               std::uint8_t before, std::uint32_t removed) {
  if (const auto* user = std::get_if<UserId>(&principal); user != nullptr && *user == root_id_) return true;
  index_once();
  const auto* entry = std::get_if<grant_permission::Manage>(&permission);
  std::set<PrincipalRefV1> seen{principal};
  std::deque<PrincipalRefV1> queue{principal};
  while (!queue.empty()) {
    const PrincipalRefV1 at = std::move(queue.front());
    queue.pop_front();
    Holdings& h = holdings(at);
    if (has_root(h, before, removed) || (entry != nullptr && has_entry(h, *entry, before, removed))) return true;
    const auto links = groups_of_.find(at);
    if (links == groups_of_.end()) continue;
    for (const Link& link : links->second) {
      if (link.since == 0 || link.since >= before || influence_.touched(link.node)) continue;
      if (seen.insert(PrincipalRefV1{link.group}).second) queue.push_back(PrincipalRefV1{link.group});
    }
  }
  return false;
}

}  // namespace vornex::core::validate::detail
