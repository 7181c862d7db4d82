// A structural hash for the stored value types, consistent with their
// field-by-field equality: it walks the same field lists that give the wire
// form, so a type that can be encoded can be hashed without further code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "cord/codec.hpp"
#include "cord/encoded.hpp"
#include "cord/evolving.hpp"
#include "cord/set.hpp"

namespace vornex::core {

namespace detail {

template <class T> struct is_cord_set : std::false_type {};
template <class T> struct is_cord_set<cord::Set<T>> : std::true_type {};
template <class T> struct is_evolving : std::false_type {};
template <class T, cord::Width W> struct is_evolving<cord::BasicEvolving<T, W>> : std::true_type {};

inline void mix(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

inline void hash_bytes(std::size_t& seed, std::string_view bytes) {
  // The length goes in first so that adjacent byte strings cannot trade
  // bytes without changing the hash.
  mix(seed, bytes.size());
  mix(seed, std::hash<std::string_view>{}(bytes));
}

template <class T>
void hash_append(std::size_t& seed, const T& value) {
  if constexpr (is_cord_set<T>::value) {
    mix(seed, value.size());
    for (const auto& item : value) hash_append(seed, item);
  } else if constexpr (is_evolving<T>::value) {
    if (const auto* known = value.known()) {
      mix(seed, 0);
      hash_append(seed, *known);
    } else {
      mix(seed, 1);
      hash_append(seed, *value.unknown_payload());
    }
  } else if constexpr (cord::detail::is_encoded<T>::value) {
    // Equal exactly when their encodings are.
    const cord::ByteView bytes = value.bytes();
    hash_bytes(seed, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } else if constexpr (cord::HasFields<T>) {
    std::apply([&](const auto&... field) { (hash_append(seed, field), ...); }, value.cord_fields());
  } else if constexpr (cord::IsTransparent<T>) {
    hash_append(seed, value.cord_inner());
  } else if constexpr (cord::IsUnit<T>) {
    mix(seed, 0);
  } else if constexpr (std::is_integral_v<T>) {
    mix(seed, static_cast<std::size_t>(value));
  } else if constexpr (std::is_same_v<T, std::string>) {
    hash_bytes(seed, value);
  } else if constexpr (cord::IsByteString<T>) {
    hash_bytes(seed, std::string_view(reinterpret_cast<const char*>(value.data()), value.size()));
  } else if constexpr (cord::detail::is_vector<T>::value) {
    mix(seed, value.size());
    for (const auto& element : value) hash_append(seed, element);
  } else if constexpr (cord::detail::is_optional<T>::value) {
    mix(seed, value.has_value() ? 1 : 0);
    if (value) hash_append(seed, *value);
  } else if constexpr (cord::detail::is_variant<T>::value) {
    mix(seed, value.index());
    std::visit([&](const auto& payload) { hash_append(seed, payload); }, value);
  } else {
    static_assert(cord::detail::dependent_false<T>, "type has no structural hash");
  }
}

}  // namespace detail

template <class T>
std::size_t structural_hash(const T& value) {
  std::size_t seed = 0;
  detail::hash_append(seed, value);
  return seed;
}

// For std::hash specialisations of the stored types.
template <class T>
struct StructuralHash {
  std::size_t operator()(const T& value) const noexcept { return structural_hash(value); }
};

}  // namespace vornex::core
