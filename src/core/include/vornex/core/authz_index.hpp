// The questions of an AuthoritySet, answered without walking every entry.
// A vault member who may create grants can give itself thousands of them,
// and validation asks a question per secret and per grant: scanning the
// lists each time would cost (records x entries). Entries are filed by the
// path they name, so a question visits only the entries whose path can
// apply; the answers are those of AuthoritySet's own methods.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vornex/core/authz.hpp"

namespace vornex::core {

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
  // their segments lead to.
  template <class Entry>
  struct PathTrie {
    struct Node {
      std::map<std::string, std::unique_ptr<Node>> children;
      std::vector<const Entry*> exact;
      std::vector<const Entry*> prefix;
    };
    std::vector<const Entry*> any;
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
