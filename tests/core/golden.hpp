// Helpers for byte-exact checks of the stored types.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "cord/cord.hpp"
#include "hex.hpp"
#include "vornex/core/ids.hpp"

namespace vornex::test {

using cord::Bytes;
using cord::ErrorKind;

inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// n bytes of one value, as ids and keys in the examples.
inline Bytes fill(std::size_t n, std::uint8_t byte) { return Bytes(n, byte); }

// The bytes behind a 4-byte length, as an evolving wrapper writes them.
inline Bytes prefixed(const Bytes& payload) {
  Bytes out;
  EXPECT_TRUE(cord::wire::write_length(out, payload.size(), cord::Width::Four).has_value());
  return cat(out, payload);
}

// An identifier (or HashValue) over the bytes written in hex.
template <class Id>
Id id(const char* hex_text) {
  return Id(core::HashValue(hex(hex_text)));
}

// Encodes `value` and compares with `expected`; decodes `expected` and
// compares with `value`.
template <class T>
void expect_golden(const T& value, const Bytes& expected) {
  auto encoded = cord::serialize(value);
  ASSERT_TRUE(encoded.has_value()) << encoded.error().message();
  EXPECT_EQ(to_hex(*encoded), to_hex(expected));
  auto decoded = cord::deserialize<T>(expected);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_TRUE(*decoded == value);
}

// A table of values of one type with their hex encodings.
template <class T>
void expect_goldens(std::initializer_list<std::pair<T, const char*>> cases) {
  for (const auto& [value, bytes] : cases) {
    SCOPED_TRACE(bytes);
    expect_golden(value, hex(bytes));
  }
}

// Decodes and encodes again, expecting the input bytes back.
template <class T>
void expect_reencodes(const Bytes& bytes) {
  auto decoded = cord::deserialize<T>(bytes);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_EQ(cord::serialize(*decoded), bytes);
}

// The decoder's error for `bytes`, if any; tables hold it as a Decode.
template <class T>
std::optional<cord::CordError> decode_error(const Bytes& bytes, const cord::Limits& limits = {}) {
  auto r = cord::deserialize<T>(bytes, limits);
  if (r) return std::nullopt;
  return r.error();
}
using Decode = std::optional<cord::CordError> (*)(const Bytes&, const cord::Limits&);

}  // namespace vornex::test
