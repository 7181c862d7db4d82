// A map kept as one vector of pairs, strictly ascending by key. A ratchet
// holds a counter (and often an origin) for every record of a vault, so a
// tree node and its allocation per key cost more than the entries
// themselves; here the entries sit side by side.
//
// Bulk building appends and then sorts once, so it is O(n log n) on any
// input and O(n) on input already in order. Inserting one key in the middle
// shifts the entries after it: callers that add many keys use from_unsorted
// or merge, never a loop of emplace on unordered keys.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "vornex/core/prefix_sort.hpp"

namespace vornex::core {

template <class K, class V>
class FlatMap {
 public:
  using key_type = K;
  using mapped_type = V;
  using value_type = std::pair<K, V>;
  using const_iterator = typename std::vector<value_type>::const_iterator;
  // Entries are never written through an iterator: a changed key would
  // break the order every lookup relies on.
  using iterator = const_iterator;

  FlatMap() = default;
  // As std::map's: of equal keys the first given stays.
  FlatMap(std::initializer_list<value_type> items)
      : FlatMap(from_unsorted(std::vector<value_type>(items), [](V&, V&&) {})) {}

  // Pairs in any order. They are sorted stably, so pairs with equal keys
  // keep their given order, and each later pair of a key is folded into the
  // first with fold(kept, later).
  template <class Fold>
  static FlatMap from_unsorted(std::vector<value_type> items, Fold fold) {
    FlatMap map;
    map.items_ = std::move(items);
    if (!map.strictly_ascending()) {
      std::stable_sort(map.items_.begin(), map.items_.end(), key_less);
      map.fold_equal_runs(fold);
    }
    return map;
  }

  // The same, sorting first by prefix(key): a number that orders as the
  // keys do wherever two numbers differ, so that most comparisons of a
  // large unsorted list never reach the keys themselves.
  template <class Fold, class Prefix>
  static FlatMap from_unsorted(std::vector<value_type> items, Fold fold, Prefix prefix) {
    FlatMap map;
    map.items_ = std::move(items);
    if (!map.strictly_ascending()) {
      map.sort_by_prefix(prefix);
      map.fold_equal_runs(fold);
    }
    return map;
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  const_iterator cbegin() const { return items_.begin(); }
  const_iterator cend() const { return items_.end(); }
  void reserve(std::size_t n) { items_.reserve(n); }
  void shrink_to_fit() { items_.shrink_to_fit(); }
  std::size_t capacity() const { return items_.capacity(); }
  void clear() { items_.clear(); }

  const_iterator lower_bound(const K& key) const {
    return std::lower_bound(items_.begin(), items_.end(), key,
                            [](const value_type& item, const K& k) { return item.first < k; });
  }
  const_iterator find(const K& key) const {
    const auto it = lower_bound(key);
    return it != items_.end() && !(key < it->first) ? it : items_.end();
  }
  bool contains(const K& key) const { return find(key) != items_.end(); }
  const V& at(const K& key) const {
    const auto it = find(key);
    if (it == items_.end()) throw std::out_of_range("FlatMap::at: key not present");
    return it->second;
  }
  // The value held for `key`, writable; nullptr when absent.
  V* lookup(const K& key) {
    const auto it = find(key);
    return it == items_.end() ? nullptr : &items_[static_cast<std::size_t>(it - items_.begin())].second;
  }

  // Adds the pair unless the key is held (std::map::try_emplace). O(1) when
  // the key goes after every key held.
  std::pair<const_iterator, bool> emplace(K key, V value) {
    if (items_.empty() || items_.back().first < key) {
      items_.emplace_back(std::move(key), std::move(value));
      return {std::prev(items_.cend()), true};
    }
    const auto at = lower_bound(key);
    if (!(key < at->first)) return {at, false};
    return {items_.emplace(at, std::move(key), std::move(value)), true};
  }
  V& operator[](const K& key) {
    const auto [it, inserted] = emplace(key, V{});
    return items_[static_cast<std::size_t>(it - items_.cbegin())].second;
  }

  // Takes in every pair of `other`: keys not held are added, and for keys
  // held fold(mine, theirs) decides. O(m log n + n + m) for m pairs into n.
  template <class Fold>
  void merge(const FlatMap& other, Fold fold) {
    merge_items(other.items_, fold);
  }
  // The same, moving the added pairs out of `other`.
  template <class Fold>
  void merge(FlatMap&& other, Fold fold) {
    if (items_.empty()) {
      items_ = std::move(other.items_);
      return;
    }
    merge_items(std::move(other.items_), fold);
  }

  // Sets the value of `key`, adding the pair if the key is not held.
  void insert_or_assign(const K& key, V value) {
    if (V* held = lookup(key)) {
      *held = std::move(value);
    } else {
      emplace(key, std::move(value));
    }
  }

  // Calls f(value) on every value in key order, writable; keys stay as they are.
  template <class F>
  void update_values(F f) {
    for (value_type& item : items_) f(item.second);
  }

  // Drops every pair past the first `n`.
  void truncate(std::size_t n) noexcept {
    if (n < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(n), items_.end());
  }

  // Drops the pair of `key`: 1 when there was one, else 0.
  std::size_t erase(const K& key) {
    const auto it = find(key);
    if (it == items_.end()) return 0;
    items_.erase(it);
    return 1;
  }

  // Drops every pair for which drop(pair) holds, visiting the pairs once
  // each in key order, so `drop` may walk another ordered map in step.
  template <class Drop>
  void erase_if(Drop drop) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (drop(std::as_const(items_[i]))) continue;
      if (kept != i) items_[kept] = std::move(items_[i]);
      ++kept;
    }
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(kept), items_.end());
  }

  bool operator==(const FlatMap&) const = default;

  // Equal to any other map type holding the same pairs in the same order,
  // such as a std::map with the same keys.
  template <class Other>
    requires(!std::is_same_v<Other, FlatMap>) && requires(const Other& o) {
      o.size();
      o.begin()->first;
      o.begin()->second;
    }
  friend bool operator==(const FlatMap& a, const Other& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
             return x.first == y.first && x.second == y.second;
           });
  }

 private:
  static bool key_less(const value_type& a, const value_type& b) { return a.first < b.first; }

  bool strictly_ascending() const {
    return std::adjacent_find(items_.begin(), items_.end(),
                              [](const value_type& a, const value_type& b) { return !(a.first < b.first); }) ==
           items_.end();
  }

  template <class Items, class Fold>
  void merge_items(Items&& items, Fold& fold) {
    const std::size_t held = items_.size();
    const auto held_at = [&](const K& key) {
      const auto end = items_.begin() + static_cast<std::ptrdiff_t>(held);
      const auto at = std::lower_bound(items_.begin(), end, key,
                                       [](const value_type& i, const K& k) { return i.first < k; });
      return at != end && !(key < at->first) ? &at->second : nullptr;
    };
    // Counted first so the vector grows once, to its exact size.
    std::size_t fresh = 0;
    for (const value_type& item : items) {
      if (V* mine = held_at(item.first)) {
        fold(*mine, item.second);
      } else {
        ++fresh;
      }
    }
    if (fresh == 0) return;
    items_.reserve(held + fresh);
    for (auto& item : items) {
      if (held_at(item.first) != nullptr) continue;
      // The source ascends, so the new tail does too.
      if constexpr (std::is_rvalue_reference_v<Items&&>) {
        items_.push_back(std::move(item));
      } else {
        items_.push_back(item);
      }
    }
    std::inplace_merge(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(held), items_.end(), key_less);
  }

  // A stable sort by (prefix, key) of small pairs, then the entries moved
  // into their places along the permutation's cycles.
  template <class Prefix>
  void sort_by_prefix(Prefix& prefix) {
    std::vector<std::pair<std::uint64_t, std::size_t>> order(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i) order[i] = {prefix(items_[i].first), i};
    prefix_sort(order, [](const auto& o) { return o.first; }, [&](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      const K& ka = items_[a.second].first;
      const K& kb = items_[b.second].first;
      if (ka < kb) return true;
      if (kb < ka) return false;
      return a.second < b.second;
    });
    // Place k takes the entry at order[k].second; a place is marked done by
    // pointing at itself.
    for (std::size_t start = 0; start < order.size(); ++start) {
      if (order[start].second == start) continue;
      value_type held = std::move(items_[start]);
      std::size_t at = start;
      for (;;) {
        const std::size_t from = order[at].second;
        order[at].second = at;
        if (from == start) {
          items_[at] = std::move(held);
          break;
        }
        items_[at] = std::move(items_[from]);
        at = from;
      }
    }
  }

  // On sorted entries: each run of equal keys becomes its first entry.
  template <class Fold>
  void fold_equal_runs(Fold& fold) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (kept > 0 && !(items_[kept - 1].first < items_[i].first)) {
        fold(items_[kept - 1].second, std::move(items_[i].second));
      } else {
        if (kept != i) items_[kept] = std::move(items_[i]);
        ++kept;
      }
    }
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(kept), items_.end());
  }

  std::vector<value_type> items_;  // strictly ascending by key
};

}  // namespace vornex::core
