#include "vornex/core/authz_index.hpp"

#include <algorithm>
#include <variant>

namespace vornex::core {

namespace {

// Every entry of a slot takes part, and none is ever withdrawn.
constexpr auto kAnyEntry = [](const auto&) { return true; };
constexpr auto kAlwaysFiled = [](const auto&) { return true; };
constexpr auto kSelectorOf = [](const auto& entry) -> const KeyspaceSelectorV1& { return selector_of(entry); };

}  // namespace

template <class Entry>
void AuthorityIndex::PathTrie<Entry>::add(const Entry& entry, const MatcherCounts& counts, const LabelDemand* demand,
                                          LookupKind serves) {
  const TupleMatcherV1& path = selector_of(entry).tuple;
  if (std::holds_alternative<tuple_matcher::Any>(path)) {
    count_work(1);
    any.add(entry, selector_of(entry), counts, 0, demand, {}, serves);
    return;
  }
  const bool exact = std::holds_alternative<tuple_matcher::Exact>(path);
  const auto& segments =
      exact ? std::get<tuple_matcher::Exact>(path).segments : std::get<tuple_matcher::Prefix>(path).segments;
  count_work(1 + segments.size());
  Node* node = &root;
  for (const std::string& segment : segments) {
    auto& child = node->children[segment];
    if (!child) child = std::make_unique<Node>();
    node = child.get();
  }
  (exact ? node->exact : node->prefix).add(entry, selector_of(entry), counts, 0, demand, {}, serves);
}

thread_local const LabelDemand* ExpectedLookups::current_ = nullptr;

AuthorityIndex::AuthorityIndex(const AuthoritySet& set, const LabelDemand* demand) : set_(set) {
  if (demand == nullptr) demand = ExpectedLookups::current();
  if (set.is_root || set.read.size() + set.write.size() + set.manage.size() <= kScanLimit) return;
  indexed_ = true;
  // Each entry is filed under the label matcher the fewest entries share.
  MatcherCounts counts;
  for (const KeyspaceSelectorV1& s : set.read) counts.count(s);
  for (const KeyspaceSelectorV1& s : set.write) counts.count(s);
  for (const ManageKeyspaceGrantV1& m : set.manage) counts.count(m.selector);
  // The read and write lists serve secrets, the manage entries questions.
  for (const KeyspaceSelectorV1& s : set.read) read_.add(s, counts, demand, LookupKind::Secrets);
  for (const KeyspaceSelectorV1& s : set.write) writable_.add(s, counts, demand, LookupKind::Secrets);
  for (const ManageKeyspaceGrantV1& m : set.manage) {
    writable_.add(m.selector, counts, demand, LookupKind::Secrets);
    manage_by_classes_[grant_class_bits(m.grantable)].add(m, counts, demand, LookupKind::Questions);
  }
}

// A Prefix matches at every node the secret's path passes through, an
// Exact only where the path ends.
bool AuthorityIndex::matches(const SelectorTrie& trie, const SecretSelectorV1& secret) noexcept {
  const auto slot_matches = [&](const LabelSlot<KeyspaceSelectorV1>& slot) {
    return slot.matches(secret, kSelectorOf, kAlwaysFiled, kAnyEntry);
  };
  if (slot_matches(trie.any)) return true;
  const SelectorTrie::Node* node = &trie.root;
  for (std::size_t depth = 0;; ++depth) {
    count_work(1);
    if (slot_matches(node->prefix)) return true;
    if (depth == secret.tuple.size()) return slot_matches(node->exact);
    const auto child = node->children.find(secret.tuple[depth]);
    if (child == node->children.end()) return false;
    node = child->second.get();
  }
}

bool AuthorityIndex::covers(const ManageTrie& trie, const KeyspaceSelectorV1& target) noexcept {
  return trie_may_cover(trie, target, [&](const LabelSlot<ManageKeyspaceGrantV1>& slot) {
    count_work(1);
    return slot.covers(target, kSelectorOf, kAlwaysFiled, kAnyEntry) != nullptr;
  });
}

// Entries are filed by their exact class set, so the sets holding every
// required class are the only ones to search.
bool AuthorityIndex::may_grant(unsigned required_classes, const KeyspaceSelectorV1& target) const noexcept {
  for (unsigned bits = 0; bits < manage_by_classes_.size(); ++bits) {
    if ((bits & required_classes) != required_classes || manage_by_classes_[bits].empty()) continue;
    if (covers(manage_by_classes_[bits], target)) return true;
  }
  return false;
}

bool AuthorityIndex::can_read(const SecretSelectorV1& secret) const noexcept {
  if (!indexed_) return sorted_can_read(set_, secret);
  return matches(writable_, secret) || matches(read_, secret);
}

bool AuthorityIndex::can_write(const SecretSelectorV1& secret) const noexcept {
  if (!indexed_) return sorted_can_write(set_, secret);
  return matches(writable_, secret);
}

bool AuthorityIndex::can_create_permission(const GrantPermissionV1& permission) const noexcept {
  if (!indexed_) return sorted_can_create_permission(set_, permission);
  if (const auto* p = std::get_if<grant_permission::Read>(&permission)) return may_grant(kReadClassBit, p->selector);
  if (const auto* p = std::get_if<grant_permission::Write>(&permission)) {
    return may_grant(kWriteClassBit, p->selector);
  }
  if (const auto* p = std::get_if<grant_permission::Manage>(&permission)) {
    return may_grant(kManageClassBit | grant_class_bits(p->grantable), p->selector);
  }
  return false;  // Root: only a root set, which is never indexed
}

}  // namespace vornex::core
