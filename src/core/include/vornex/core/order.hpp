// A structural total order for the stored value types, consistent with
// their field-by-field equality. Validation keys its lookup tables with it
// instead of a hash: the values come from vault files anyone with write
// access can shape, and an ordered table cannot be flooded into quadratic
// time the way a table over an unkeyed hash can.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <type_traits>
#include <variant>
#include <vector>

#include "cord/codec.hpp"

namespace vornex::core {

namespace detail {

template <class T>
std::strong_ordering structural_cmp(const T& a, const T& b) {
  if constexpr (cord::HasFields<T>) {
    std::strong_ordering result = std::strong_ordering::equal;
    const auto fa = a.cord_fields();
    const auto fb = b.cord_fields();
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((result == 0 ? (result = structural_cmp(std::get<I>(fa), std::get<I>(fb)), 0) : 0), ...);
    }(std::make_index_sequence<std::tuple_size_v<decltype(fa)>>{});
    return result;
  } else if constexpr (cord::IsTransparent<T>) {
    return structural_cmp(a.cord_inner(), b.cord_inner());
  } else if constexpr (cord::IsUnit<T>) {
    return std::strong_ordering::equal;
  } else if constexpr (std::is_integral_v<T> || std::is_same_v<T, std::string> || cord::IsByteString<T>) {
    return a <=> b;
  } else if constexpr (cord::detail::is_vector<T>::value) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (const auto c = structural_cmp(a[i], b[i]); c != 0) return c;
    }
    return a.size() <=> b.size();
  } else if constexpr (cord::detail::is_optional<T>::value) {
    if (a.has_value() != b.has_value()) return a.has_value() <=> b.has_value();
    return a ? structural_cmp(*a, *b) : std::strong_ordering::equal;
  } else if constexpr (cord::detail::is_variant<T>::value) {
    if (a.index() != b.index()) return a.index() <=> b.index();
    return std::visit(
        [&](const auto& pa) {
          using P = std::decay_t<decltype(pa)>;
          return structural_cmp(pa, *std::get_if<P>(&b));
        },
        a);
  } else {
    static_assert(cord::detail::dependent_false<T>, "type has no structural order");
  }
}

// FNV-1a over the value's structure: variant indices, sizes and bytes, in
// the order the structural comparison looks at them.
inline void digest_bytes(std::uint64_t& h, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    h ^= bytes[i];
    h *= 0x100000001b3ULL;
  }
}

template <class T>
void structural_digest(std::uint64_t& h, const T& value) {
  if constexpr (cord::HasFields<T>) {
    std::apply([&](const auto&... field) { (structural_digest(h, field), ...); }, value.cord_fields());
  } else if constexpr (cord::IsTransparent<T>) {
    structural_digest(h, value.cord_inner());
  } else if constexpr (cord::IsUnit<T>) {
  } else if constexpr (std::is_integral_v<T>) {
    digest_bytes(h, &value, sizeof value);
  } else if constexpr (std::is_same_v<T, std::string> || cord::IsByteString<T>) {
    const std::uint64_t size = value.size();
    digest_bytes(h, &size, sizeof size);
    digest_bytes(h, value.data(), value.size());
  } else if constexpr (cord::detail::is_vector<T>::value) {
    const std::uint64_t size = value.size();
    digest_bytes(h, &size, sizeof size);
    for (const auto& element : value) structural_digest(h, element);
  } else if constexpr (cord::detail::is_optional<T>::value) {
    const unsigned char present = value.has_value() ? 1 : 0;
    digest_bytes(h, &present, 1);
    if (value) structural_digest(h, *value);
  } else if constexpr (cord::detail::is_variant<T>::value) {
    const std::uint64_t index = value.index();
    digest_bytes(h, &index, sizeof index);
    std::visit([&](const auto& alternative) { structural_digest(h, alternative); }, value);
  } else {
    static_assert(cord::detail::dependent_false<T>, "type has no structural digest");
  }
}

}  // namespace detail

// A number standing for a value's structure: equal values have equal
// digests, so values whose digests differ need no structural comparison.
// Anyone can make digests collide; a table ordered by (digest, value) then
// costs what one ordered by the value costs, never more.
template <class T>
std::uint64_t structural_digest(const T& value) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  detail::structural_digest(h, value);
  return h;
}

// Orders (digest, value) pairs: by the number, then by structure.
struct DigestLess {
  template <class T>
  bool operator()(const std::pair<std::uint64_t, const T*>& a, const std::pair<std::uint64_t, const T*>& b) const {
    if (a.first != b.first) return a.first < b.first;
    return detail::structural_cmp(*a.second, *b.second) < 0;
  }
};

template <class T>
std::strong_ordering structural_compare(const T& a, const T& b) {
  return detail::structural_cmp(a, b);
}

// For ordered containers keyed by a stored value or by a pointer to one.
struct StructuralLess {
  using is_transparent = void;
  template <class T>
  bool operator()(const T& a, const T& b) const {
    return structural_compare(a, b) < 0;
  }
  template <class T>
  bool operator()(const T* a, const T* b) const {
    return structural_compare(*a, *b) < 0;
  }
};

}  // namespace vornex::core
