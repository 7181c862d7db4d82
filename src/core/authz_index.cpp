#include "vornex/core/authz_index.hpp"

#include <algorithm>
#include <variant>

namespace vornex::core {

namespace {

const KeyspaceSelectorV1& selector_of(const KeyspaceSelectorV1& selector) { return selector; }
const KeyspaceSelectorV1& selector_of(const ManageKeyspaceGrantV1& entry) { return entry.selector; }

unsigned class_bits(const std::vector<KeyspaceGrantClassV1>& classes) {
  unsigned bits = 0;
  for (const KeyspaceGrantClassV1& c : classes) bits |= 1u << c.index();
  return bits;
}

constexpr unsigned kReadBit = 1u << KeyspaceGrantClassV1(grant_class::Read{}).index();
constexpr unsigned kWriteBit = 1u << KeyspaceGrantClassV1(grant_class::Write{}).index();
constexpr unsigned kManageBit = 1u << KeyspaceGrantClassV1(grant_class::Manage{}).index();

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// The first label matcher or label of each key, as the matching and
// subsumption rules consult them: a later one with the same key is never
// looked at.
template <class Labels, class Visit>
bool first_of_each_key(const Labels& labels, Visit&& visit) {
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const bool repeated = std::any_of(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(i),
                                      [&](const auto& earlier) { return earlier.key == labels[i].key; });
    if (!repeated && visit(labels[i])) return true;
  }
  return false;
}

template <class Entry, class Test>
bool any_entry(const std::vector<const Entry*>& entries, Test&& test) {
  return std::any_of(entries.begin(), entries.end(), [&](const Entry* e) { return test(*e); });
}

template <class Entry, class Test>
bool any_entry(const std::map<std::string, std::vector<const Entry*>>& by_value, const std::string& value,
               Test&& test) {
  const auto it = by_value.find(value);
  return it != by_value.end() && any_entry(it->second, test);
}

// Whether an entry filed at `slot` matches `secret`, whose path the
// caller has found matching at this place: entries without label
// matchers then match, and the others are looked at only where their first
// matcher can hold for the secret's labels.
template <class Entry>
bool slot_matches(const LabelSlot<Entry>& slot, const SecretSelectorV1& secret) noexcept {
  if (!slot.plain.empty()) return true;
  if (slot.keyed.empty()) return false;
  const auto test = [&](const Entry& e) { return selector_matches(selector_of(e), secret); };
  const bool by_label = first_of_each_key(secret.labels, [&](const SecretLabelV1& label) {
    const auto it = slot.keyed.find(label.key);
    if (it == slot.keyed.end()) return false;
    const auto& k = it->second;
    return any_entry(k.present, test) || any_entry(k.equals, label.value, test) || any_entry(k.in, label.value, test);
  });
  if (by_label) return true;
  // Absent holds for a key the secret has no label for.
  for (const auto& [key, entries] : slot.absent_by_key) {
    const bool labelled = std::any_of(secret.labels.begin(), secret.labels.end(),
                                      [&](const SecretLabelV1& l) { return l.key == key; });
    if (!labelled && any_entry(*entries, test)) return true;
  }
  return false;
}

// Whether an entry filed at `slot` has a selector that subsumes `target`,
// whose path the caller has found covered at this place: entries without
// label matchers then do, and the others are looked at only where their
// first matcher can be satisfied by the target's matcher of that key.
template <class Entry>
bool slot_covers(const LabelSlot<Entry>& slot, const KeyspaceSelectorV1& target) noexcept {
  if (!slot.plain.empty()) return true;
  if (slot.keyed.empty()) return false;
  const auto test = [&](const Entry& e) { return selector_subsumes(selector_of(e), target); };
  return first_of_each_key(target.labels, [&](const KeyspaceLabelMatcherV1& inner) {
    const auto it = slot.keyed.find(inner.key);
    if (it == slot.keyed.end()) return false;
    const auto& k = it->second;
    return std::visit(
        Overloaded{
            [&](const label_matcher::Present&) { return any_entry(k.present, test); },
            [&](const label_matcher::Equals& w) {
              return any_entry(k.present, test) || any_entry(k.equals, w.value, test) ||
                     any_entry(k.in, w.value, test);
            },
            [&](const label_matcher::In& lb) {
              if (any_entry(k.present, test)) return true;
              if (lb.values.empty()) return any_entry(k.all_equals, test) || any_entry(k.all_in, test);
              const bool one_value = std::all_of(lb.values.begin(), lb.values.end(),
                                                 [&](const std::string& v) { return v == lb.values.front(); });
              return (one_value && any_entry(k.equals, lb.values.front(), test)) ||
                     any_entry(k.in, lb.values.front(), test);
            },
            [&](const label_matcher::Absent&) { return any_entry(k.absent, test); },
        },
        inner.matcher);
  });
}

}  // namespace

template <class Entry>
void LabelSlot<Entry>::add(const Entry& entry, const KeyspaceSelectorV1& selector) {
  if (selector.labels.empty()) {
    plain.push_back(&entry);
    return;
  }
  const KeyspaceLabelMatcherV1& first = selector.labels.front();
  Keyed& k = keyed[first.key];
  std::visit(Overloaded{
                 [&](const label_matcher::Present&) { k.present.push_back(&entry); },
                 [&](const label_matcher::Equals& e) {
                   k.equals[e.value].push_back(&entry);
                   k.all_equals.push_back(&entry);
                 },
                 [&](const label_matcher::In& in) {
                   std::vector<std::string> values = in.values;
                   std::sort(values.begin(), values.end());
                   values.erase(std::unique(values.begin(), values.end()), values.end());
                   for (const std::string& v : values) k.in[v].push_back(&entry);
                   k.all_in.push_back(&entry);
                 },
                 [&](const label_matcher::Absent&) {
                   k.absent.push_back(&entry);
                   absent_by_key[first.key] = &k.absent;
                 },
             },
             first.matcher);
}

template <class Entry>
void AuthorityIndex::PathTrie<Entry>::add(const Entry& entry) {
  const TupleMatcherV1& path = selector_of(entry).tuple;
  if (std::holds_alternative<tuple_matcher::Any>(path)) {
    any.add(entry, selector_of(entry));
    return;
  }
  const bool exact = std::holds_alternative<tuple_matcher::Exact>(path);
  const auto& segments =
      exact ? std::get<tuple_matcher::Exact>(path).segments : std::get<tuple_matcher::Prefix>(path).segments;
  Node* node = &root;
  for (const std::string& segment : segments) {
    auto& child = node->children[segment];
    if (!child) child = std::make_unique<Node>();
    node = child.get();
  }
  (exact ? node->exact : node->prefix).add(entry, selector_of(entry));
}

AuthorityIndex::AuthorityIndex(const AuthoritySet& set) : set_(set) {
  if (set.is_root || set.read.size() + set.write.size() + set.manage.size() <= kScanLimit) return;
  indexed_ = true;
  for (const KeyspaceSelectorV1& s : set.read) read_.add(s);
  for (const KeyspaceSelectorV1& s : set.write) writable_.add(s);
  for (const ManageKeyspaceGrantV1& m : set.manage) {
    writable_.add(m.selector);
    manage_by_classes_[class_bits(m.grantable)].add(m);
  }
}

// A Prefix matches at every node the secret's path passes through, an
// Exact only where the path ends.
bool AuthorityIndex::matches(const SelectorTrie& trie, const SecretSelectorV1& secret) noexcept {
  if (slot_matches(trie.any, secret)) return true;
  const SelectorTrie::Node* node = &trie.root;
  for (std::size_t depth = 0;; ++depth) {
    if (slot_matches(node->prefix, secret)) return true;
    if (depth == secret.tuple.size()) return slot_matches(node->exact, secret);
    const auto child = node->children.find(secret.tuple[depth]);
    if (child == node->children.end()) return false;
    node = child->second.get();
  }
}

bool AuthorityIndex::covers(const ManageTrie& trie, const KeyspaceSelectorV1& target) noexcept {
  return trie_may_cover(trie, target,
                        [&](const LabelSlot<ManageKeyspaceGrantV1>& slot) { return slot_covers(slot, target); });
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
  if (!indexed_) return set_.can_read(secret);
  return matches(writable_, secret) || matches(read_, secret);
}

bool AuthorityIndex::can_write(const SecretSelectorV1& secret) const noexcept {
  if (!indexed_) return set_.can_write(secret);
  return matches(writable_, secret);
}

bool AuthorityIndex::can_create_permission(const GrantPermissionV1& permission) const noexcept {
  if (!indexed_) return set_.can_create_permission(permission);
  if (const auto* p = std::get_if<grant_permission::Read>(&permission)) return may_grant(kReadBit, p->selector);
  if (const auto* p = std::get_if<grant_permission::Write>(&permission)) {
    return may_grant(kWriteBit, p->selector);
  }
  if (const auto* p = std::get_if<grant_permission::Manage>(&permission)) {
    return may_grant(kManageBit | class_bits(p->grantable), p->selector);
  }
  return false;  // Root: only a root set, which is never indexed
}

}  // namespace vornex::core
