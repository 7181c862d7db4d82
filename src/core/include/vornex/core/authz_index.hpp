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
#include "vornex/core/label_index.hpp"

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

inline const KeyspaceSelectorV1& selector_of(const KeyspaceSelectorV1& selector) { return selector; }
inline const KeyspaceSelectorV1& selector_of(const ManageKeyspaceGrantV1& entry) { return entry.selector; }

// Where the lookups of the validation running on this thread will look
// among labels, for as long as it lives: an index made meanwhile files
// each entry where the fewest of them do, whichever phase makes it.
class ExpectedLookups {
 public:
  explicit ExpectedLookups(const LabelDemand& demand) : before_(current_) { current_ = &demand; }
  ~ExpectedLookups() { current_ = before_; }
  ExpectedLookups(const ExpectedLookups&) = delete;
  ExpectedLookups& operator=(const ExpectedLookups&) = delete;

  static const LabelDemand* current() { return current_; }

 private:
  static thread_local const LabelDemand* current_;
  const LabelDemand* before_;
};

class AuthorityIndex {
 public:
  // `set` must outlive the index and stay unchanged. `demand`, if given
  // (else the thread's `ExpectedLookups`, if any), says where the lookups
  // to come will look (it need not outlive the index): each entry is
  // filed where the fewest of them do.
  explicit AuthorityIndex(const AuthoritySet& set, const LabelDemand* demand = nullptr);
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

    void add(const Entry& entry, const MatcherCounts& counts, const LabelDemand* demand, LookupKind serves);
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
