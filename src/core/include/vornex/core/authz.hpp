// Authority: what a user or group may do with the secrets of a vault, and
// the two selector relations the answers rest on. Everything here is pure
// and works on the caller's values in place; validation asks these
// questions once per record, so nothing copies or allocates except
// push_unique's append.
#pragma once

#include <vector>

#include "vornex/core/selector.hpp"

namespace vornex::core {

// Whether the keyspace `pattern` holds the secret named by `secret`. Label
// matchers look only at the first secret label with their key, so a
// non-canonical selector with a repeated key is judged by its first one.
bool selector_matches(const KeyspaceSelectorV1& pattern, const SecretSelectorV1& secret) noexcept;

// Whether `outer` holds every secret that `inner` holds, judged by the form
// of the two selectors. It may answer false for a pair that does cover (an
// empty Prefix against Any, say) but never true for one that does not.
bool selector_subsumes(const KeyspaceSelectorV1& outer, const KeyspaceSelectorV1& inner) noexcept;

// The same two relations for selectors in sorted order: label matchers and
// labels ascending by key (where a key repeats, the first decides, as
// above) and In lists ascending, as validation's structure checks ensure
// for every record it admits. A matcher finds its label by binary search
// and In lists are merged, so that a comparison costs about the size of
// the smaller selector, never the product of two lists; each step is
// counted (core/work.hpp). On selectors in another order they may answer
// otherwise than the two above.
bool sorted_selector_matches(const KeyspaceSelectorV1& pattern, const SecretSelectorV1& secret) noexcept;
bool sorted_selector_subsumes(const KeyspaceSelectorV1& outer, const KeyspaceSelectorV1& inner) noexcept;
// Their label parts alone, for a caller that has found the paths related
// already (an index filed by path): a deep path is not compared again for
// every entry filed under it.
bool sorted_labels_match(const KeyspaceSelectorV1& pattern, const SecretSelectorV1& secret) noexcept;
bool sorted_labels_subsume(const KeyspaceSelectorV1& outer, const KeyspaceSelectorV1& inner) noexcept;

// Appends a copy of `grant` unless an equal entry (equal selector, equal
// classes in the same order) is already in `list`. True when it appended,
// which the authority fixed point counts as growth.
bool push_unique(std::vector<ManageKeyspaceGrantV1>& list, const ManageKeyspaceGrantV1& grant);

// One principal's authority. A default-constructed set is the empty one and
// grants nothing. Lists keep insertion order.
struct AuthoritySet {
  std::vector<KeyspaceSelectorV1> read;   // may read
  std::vector<KeyspaceSelectorV1> write;  // may read and write
  // May read and write, and create grants of each entry's classes within
  // its selector. Kept free of duplicates through push_unique.
  std::vector<ManageKeyspaceGrantV1> manage;
  bool is_root = false;  // answers yes to every question

  // The vault root user's set: every list over Any with no label matchers,
  // every class manageable, and the root flag.
  static AuthoritySet root();

  bool can_read(const SecretSelectorV1& secret) const noexcept;
  // The read list does not count.
  bool can_write(const SecretSelectorV1& secret) const noexcept;
  // Only a root set may create a Root grant.
  bool can_create_permission(const GrantPermissionV1& permission) const noexcept;

  bool operator==(const AuthoritySet&) const = default;
};

// AuthoritySet's questions through the sorted relations, for a set and
// selectors in sorted order.
bool sorted_can_read(const AuthoritySet& set, const SecretSelectorV1& secret) noexcept;
bool sorted_can_write(const AuthoritySet& set, const SecretSelectorV1& secret) noexcept;
bool sorted_can_create_permission(const AuthoritySet& set, const GrantPermissionV1& permission) noexcept;

}  // namespace vornex::core
