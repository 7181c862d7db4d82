// A set whose encoding is unique: elements are kept strictly ascending by
// their own encodings, which is the order they are written in. The order is
// established when elements enter the set, so encoding only writes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <vector>

#include "cord/codec.hpp"

namespace cord {

inline constexpr std::string_view kDuplicateElement = "Duplicate element in set";

template <class T>
class Set {
 public:
  using value_type = T;
  using const_iterator = typename std::vector<T>::const_iterator;

  Set() = default;

  // Elements equal to one already taken are dropped; two different
  // elements with one encoding (texts that differ only in normalisation)
  // cannot be written and are refused.
  static Result<Set> from(std::vector<T> items) {
    Bytes scratch;
    scratch.reserve(16 * items.size());
    std::vector<std::size_t> ends(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      Serializer s(scratch);
      if (auto st = encode(s, items[i]); !st) return fail(CordError::serialization_from(st.error()));
      ends[i] = scratch.size();
    }
    auto encoding = [&](std::size_t i) {
      const std::size_t begin = i == 0 ? 0 : ends[i - 1];
      return ByteView(scratch.data() + begin, ends[i] - begin);
    };
    std::vector<std::size_t> order(items.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return compare_bytes(encoding(a), encoding(b)) < 0; });
    Set set;
    set.items_.reserve(items.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
      if (k > 0 && compare_bytes(encoding(order[k - 1]), encoding(order[k])) == 0) {
        // The earlier element has already moved into the set.
        if (!(set.items_.back() == items[order[k]])) return duplicate();
        continue;
      }
      set.items_.push_back(std::move(items[order[k]]));
    }
    return set;
  }

  // Elements the caller knows to be strictly ascending by their encodings
  // already: a decoder that compared the bytes it read them from, or values
  // of one fixed width sorted by their bytes. The order is not checked
  // again; anything else enters through from().
  static Set from_ascending(std::vector<T> items) {
    Set set;
    set.items_ = std::move(items);
    return set;
  }

  // Inserts at the element's place; false when an equal element is there.
  Result<bool> insert(T item) {
    VX_TRY_ASSIGN(const Bytes key, encoding_of(item));
    std::size_t lo = 0;
    std::size_t hi = items_.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      VX_TRY_ASSIGN(const Bytes probe, encoding_of(items_[mid]));
      const int c = compare_bytes(probe, key);
      if (c == 0) {
        if (items_[mid] == item) return false;
        return duplicate();
      }
      if (c < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(lo), std::move(item));
    return true;
  }

  bool erase(const T& item) {
    const auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end()) return false;
    items_.erase(it);
    return true;
  }

  bool contains(const T& item) const { return std::find(items_.begin(), items_.end(), item) != items_.end(); }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  // The elements in ascending order of their encodings.
  const std::vector<T>& items() const { return items_; }
  // The elements, taken out of the set.
  std::vector<T> take_items() && { return std::move(items_); }

  bool operator==(const Set&) const = default;

  Status cord_encode(Serializer& s, Hint hint) const {
    VX_TRY(s.write_length(items_.size(), hint));
    for (const T& item : items_) VX_TRY(encode(s, item));
    return {};
  }

  // Reads a set's elements one at a time with the checks of decoding the
  // set: start(count) hears the declared count first; each element is
  // decoded into place() and, once its bytes are found above the ones
  // before it, handed on by taken(element). A caller that folds elements
  // into something else need not hold them as a list.
  template <class Start, class Place, class Taken>
  static Status decode_each(Deserializer& d, Hint hint, Start&& start, Place&& place, Taken&& taken) {
    VX_TRY(d.enter());
    VX_TRY_ASSIGN(const std::uint64_t count, d.parse_length(hint));
    start(count);
    ByteView previous;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint8_t* begin = d.data();
      T& element = place();
      VX_TRY(decode(d, element));
      // The decoder accepts only canonical bytes, so the bytes an element
      // was read from are its encoding: compare those, no second encoding.
      const ByteView current(begin, static_cast<std::size_t>(d.data() - begin));
      d.count(1 + current.size());
      if (i > 0 && compare_bytes(previous, current) >= 0) {
        return fail(CordError::deserialization(std::string(kDuplicateElement)));
      }
      previous = current;
      taken(element);
    }
    d.leave();
    return {};
  }

  Status cord_decode(Deserializer& d, Hint hint) {
    std::vector<T> items;
    VX_TRY(decode_each(
        d, hint, [&](std::uint64_t count) { items.reserve(reserve_for<T>(count, d.remaining())); },
        [&]() -> T& { return items.emplace_back(); }, [](T&) {}));
    items_ = std::move(items);
    return {};
  }

 private:
  static std::unexpected<CordError> duplicate() {
    return fail(CordError::serialization(std::string(kDuplicateElement)));
  }

  static Result<Bytes> encoding_of(const T& item) {
    auto bytes = serialize(item);
    if (!bytes) return fail(CordError::serialization_from(bytes.error()));
    return bytes;
  }

  std::vector<T> items_;  // strictly ascending by encoding
};

}  // namespace cord
