// The questions of an AuthoritySet, answered without walking every entry.
// A vault member who may create grants can give itself thousands of them,
// and validation asks a question per secret and per grant: scanning the
// lists each time would cost (records x entries). Entries are filed by the
// path they name, so a question visits only the entries whose path can
// apply; the answers are those of AuthoritySet's own methods.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vornex/core/authz.hpp"

namespace vornex::core {

// The one walk of a path trie for the entries that may cover `target`: a
// trie has `any` at the top and nodes with `children` (owned or not),
// `exact` and `prefix` slots. Only Any covers Any; an Exact target is covered by the
// Exact slot of its own path and by Prefix slots along it, a Prefix target
// by Prefix slots along it (its own path included). True at the first slot
// for which `fits` is.
template <class Trie, class Fits>
bool trie_may_cover(Trie& trie, const KeyspaceSelectorV1& target, Fits&& fits) {
  if (fits(trie.any)) return true;
  const std::vector<std::string>* segments = nullptr;
  bool exact = false;
  if (const auto* e = std::get_if<tuple_matcher::Exact>(&target.tuple)) {
    segments = &e->segments;
    exact = true;
  } else if (const auto* p = std::get_if<tuple_matcher::Prefix>(&target.tuple)) {
    segments = &p->segments;
  } else {
    return false;
  }
  auto* node = &trie.root;
  for (std::size_t depth = 0;; ++depth) {
    if (fits(node->prefix)) return true;
    if (depth == segments->size()) return exact && fits(node->exact);
    const auto child = node->children.find((*segments)[depth]);
    if (child == node->children.end()) return false;
    node = std::to_address(child->second);
  }
}

// A set of grant classes as bits, one per class: manage entries are filed
// by the exact set they carry.
inline unsigned grant_class_bits(const std::vector<KeyspaceGrantClassV1>& classes) {
  unsigned bits = 0;
  for (const KeyspaceGrantClassV1& c : classes) bits |= 1u << c.index();
  return bits;
}
inline constexpr unsigned kReadClassBit = 1u << KeyspaceGrantClassV1(grant_class::Read{}).index();
inline constexpr unsigned kWriteClassBit = 1u << KeyspaceGrantClassV1(grant_class::Write{}).index();
inline constexpr unsigned kManageClassBit = 1u << KeyspaceGrantClassV1(grant_class::Manage{}).index();

namespace label_slot_detail {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// Each key's label matcher or label, once where the labels are sorted by
// key, as a record's are. A repeat (a selector that was never validated)
// is visited again: it only finds entries that the full check then judges,
// so it costs a lookup and changes nothing, where looking back for earlier
// ones would cost the square of the labels.
template <class Labels, class Visit>
bool first_of_each_key(const Labels& labels, Visit&& visit) {
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const bool repeated = i > 0 && labels[i - 1].key == labels[i].key;
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

}  // namespace label_slot_detail

inline const KeyspaceSelectorV1& selector_of(const KeyspaceSelectorV1& selector) { return selector; }
inline const KeyspaceSelectorV1& selector_of(const ManageKeyspaceGrantV1& entry) { return entry.selector; }

// The entries filed at one place of a path trie, by their label matchers:
// those without any apart, the others by their first matcher (its key, its
// kind, its value or each value of its list). A question then looks only at
// the entries whose first matcher its labels can satisfy, so entries that
// differ only by their labels cost no more to look through than entries
// that differ by path. `selector_of(entry)` gives an entry's selector.
template <class Entry>
struct LabelSlot {
  struct Keyed {
    std::vector<const Entry*> present;
    std::vector<const Entry*> absent;
    std::map<std::string, std::vector<const Entry*>> equals;  // by value
    std::map<std::string, std::vector<const Entry*>> in;      // by each value of the list
    std::vector<const Entry*> all_equals;                     // every Equals entry
    std::vector<const Entry*> all_in;                         // every In entry, empty lists too
  };
  std::vector<const Entry*> plain;  // no label matchers
  std::map<std::string, Keyed> keyed;
  std::map<std::string, const std::vector<const Entry*>*> absent_by_key;  // keys with Absent entries

  void add(const Entry& entry);
  bool empty() const { return plain.empty() && keyed.empty(); }
};

template <class Entry>
void LabelSlot<Entry>::add(const Entry& entry) {
  const KeyspaceSelectorV1& selector = selector_of(entry);
  if (selector.labels.empty()) {
    plain.push_back(&entry);
    return;
  }
  const KeyspaceLabelMatcherV1& first = selector.labels.front();
  Keyed& k = keyed[first.key];
  std::visit(label_slot_detail::Overloaded{
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

// Whether an entry filed at `slot` that `accept` takes matches `secret`,
// whose path the caller has found matching at this place: entries without
// label matchers then match, and the others are looked at only where their
// first matcher can hold for the secret's labels.
template <class Entry, class Accept>
bool slot_matches(const LabelSlot<Entry>& slot, const SecretSelectorV1& secret, Accept&& accept) {
  using label_slot_detail::any_entry;
  const auto test = [&](const Entry& e) { return accept(e) && sorted_selector_matches(selector_of(e), secret); };
  if (any_entry(slot.plain, test)) return true;
  if (slot.keyed.empty()) return false;
  const bool by_label = label_slot_detail::first_of_each_key(secret.labels, [&](const SecretLabelV1& label) {
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

// Whether an entry filed at `slot` that `accept` takes has a selector that
// subsumes `target`, whose path the caller has found covered at this place:
// entries without label matchers then do, and the others are looked at only
// where their first matcher can be satisfied by the target's matcher of
// that key.
template <class Entry, class Accept>
bool slot_covers(const LabelSlot<Entry>& slot, const KeyspaceSelectorV1& target, Accept&& accept) {
  using label_slot_detail::any_entry;
  const auto test = [&](const Entry& e) { return accept(e) && sorted_selector_subsumes(selector_of(e), target); };
  if (any_entry(slot.plain, test)) return true;
  if (slot.keyed.empty()) return false;
  return label_slot_detail::first_of_each_key(target.labels, [&](const KeyspaceLabelMatcherV1& inner) {
    const auto it = slot.keyed.find(inner.key);
    if (it == slot.keyed.end()) return false;
    const auto& k = it->second;
    return std::visit(
        label_slot_detail::Overloaded{
            [&](const label_matcher::Present&) { return any_entry(k.present, test); },
            [&](const label_matcher::Equals& w) {
              return any_entry(k.present, test) || any_entry(k.equals, w.value, test) || any_entry(k.in, w.value, test);
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

class AuthorityIndex {
 public:
  // `set` must outlive the index and stay unchanged.
  explicit AuthorityIndex(const AuthoritySet& set);
  AuthorityIndex(const AuthorityIndex&) = delete;
  AuthorityIndex& operator=(const AuthorityIndex&) = delete;

  bool can_read(const SecretSelectorV1& secret) const noexcept;
  bool can_write(const SecretSelectorV1& secret) const noexcept;
  bool can_create_permission(const GrantPermissionV1& permission) const noexcept;

  // Below this many entries a scan is as quick as the index.
  static constexpr std::size_t kScanLimit = 8;

 private:
  // Selectors filed by path: Any at the top, Exact and Prefix at the node
  // their segments lead to, each place by labels.
  template <class Entry>
  struct PathTrie {
    struct Node {
      std::map<std::string, std::unique_ptr<Node>> children;
      LabelSlot<Entry> exact;
      LabelSlot<Entry> prefix;
    };
    LabelSlot<Entry> any;
    Node root;

    void add(const Entry& entry);
    bool empty() const { return any.empty() && root.children.empty() && root.exact.empty() && root.prefix.empty(); }
  };

  using SelectorTrie = PathTrie<KeyspaceSelectorV1>;
  using ManageTrie = PathTrie<ManageKeyspaceGrantV1>;

  static bool matches(const SelectorTrie& trie, const SecretSelectorV1& secret) noexcept;
  // Whether an entry of `trie` has a selector covering `target`.
  static bool covers(const ManageTrie& trie, const KeyspaceSelectorV1& target) noexcept;
  bool may_grant(unsigned required_classes, const KeyspaceSelectorV1& target) const noexcept;

  const AuthoritySet& set_;
  bool indexed_ = false;
  SelectorTrie read_;      // the read list
  SelectorTrie writable_;  // the write list and the manage entries' selectors
  // Manage entries by the set of classes they carry (a bit per class).
  std::array<ManageTrie, 8> manage_by_classes_;
};

}  // namespace vornex::core
