// Sorting by a 64-bit prefix that orders as the full order does wherever
// two prefixes differ, as the leading bytes of hashes and ids do. An open
// sorts every record by hash or id several times; a comparison sort spends
// n log n on prefixes that are nearly uniform. Here the items are dealt
// into about as many buckets as there are items, by where their prefix
// falls between the least and the greatest, and each bucket is then sorted
// by the full order. The result is exactly std::stable_sort's with `less`:
// linear time for spread prefixes, a comparison sort's where they crowd.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

namespace vornex::core {

// Fewer items are sorted directly.
inline constexpr std::size_t kPrefixSortLeastItems = 64;
// A bucket up to this size is sorted by insertion, without the buffer
// std::stable_sort allocates.
inline constexpr std::size_t kPrefixSortInsertionItems = 16;

namespace detail {

// Stable: an item moves only past items it is strictly less than.
template <class It, class Less>
void insertion_sort(It first, It last, Less& less) {
  for (It i = first; i != last; ++i) {
    if (i == first || !less(*i, *std::prev(i))) continue;
    auto held = std::move(*i);
    It j = i;
    do {
      *j = std::move(*std::prev(j));
      --j;
    } while (j != first && less(held, *std::prev(j)));
    *j = std::move(held);
  }
}

}  // namespace detail

// `prefix(item)` must agree with `less`: a smaller prefix means a lesser
// item. Items are moved, so they need only be default-constructible and
// movable.
template <class T, class Prefix, class Less>
void prefix_sort(std::vector<T>& items, Prefix prefix, Less less) {
  static_assert(std::is_default_constructible_v<T> && std::is_move_assignable_v<T>);
  const std::size_t n = items.size();
  if (n < kPrefixSortLeastItems) {
    std::stable_sort(items.begin(), items.end(), less);
    return;
  }
  std::uint64_t lo = UINT64_MAX;
  std::uint64_t hi = 0;
  for (const T& item : items) {
    const std::uint64_t p = prefix(item);
    lo = std::min(lo, p);
    hi = std::max(hi, p);
  }
  unsigned shift = 0;
  while (((hi - lo) >> shift) >= n) ++shift;
  const auto bucket_of = [&](const T& item) { return static_cast<std::size_t>((prefix(item) - lo) >> shift); };
  // ends[b + 1] counts bucket b, then becomes where it ends.
  std::vector<std::size_t> ends(static_cast<std::size_t>((hi - lo) >> shift) + 2, 0);
  for (const T& item : items) ++ends[bucket_of(item) + 1];
  for (std::size_t b = 1; b < ends.size(); ++b) ends[b] += ends[b - 1];
  std::vector<T> dealt(n);
  for (T& item : items) dealt[ends[bucket_of(item)]++] = std::move(item);
  // ends[b] now ends bucket b, which begins where bucket b - 1 ended.
  std::size_t begin = 0;
  for (std::size_t b = 0; b + 1 < ends.size(); ++b) {
    const std::size_t end = ends[b];
    if (end - begin > kPrefixSortInsertionItems) {
      std::stable_sort(dealt.begin() + static_cast<std::ptrdiff_t>(begin), dealt.begin() + static_cast<std::ptrdiff_t>(end),
                       less);
    } else if (end - begin > 1) {
      detail::insertion_sort(dealt.begin() + static_cast<std::ptrdiff_t>(begin),
                             dealt.begin() + static_cast<std::ptrdiff_t>(end), less);
    }
    begin = end;
  }
  items = std::move(dealt);
}

}  // namespace vornex::core
