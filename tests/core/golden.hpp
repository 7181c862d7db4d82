// Helpers for byte-exact checks of the stored types.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "cord/cord.hpp"
#include "hex.hpp"

namespace vornex::test {

inline cord::Bytes cat(cord::Bytes a, const cord::Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// n bytes of one value, as ids and keys in the examples.
inline cord::Bytes fill(std::size_t n, std::uint8_t byte) { return cord::Bytes(n, byte); }

// Encodes `value` and compares with `expected`; decodes `expected`, compares
// with `value`, and encodes the decoded value again.
template <class T>
void expect_golden(const T& value, const cord::Bytes& expected) {
  auto encoded = cord::serialize(value);
  ASSERT_TRUE(encoded.has_value()) << encoded.error().message();
  EXPECT_EQ(to_hex(*encoded), to_hex(expected));
  auto decoded = cord::deserialize<T>(expected);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_TRUE(*decoded == value);
  auto again = cord::serialize(*decoded);
  ASSERT_TRUE(again.has_value()) << again.error().message();
  EXPECT_EQ(to_hex(*again), to_hex(expected));
}

// Decodes and encodes again, expecting the input bytes back.
template <class T>
void expect_reencodes(const cord::Bytes& bytes) {
  auto decoded = cord::deserialize<T>(bytes);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  auto again = cord::serialize(*decoded);
  ASSERT_TRUE(again.has_value()) << again.error().message();
  EXPECT_EQ(to_hex(*again), to_hex(bytes));
}

template <class T>
std::optional<cord::CordError> decode_error(const cord::Bytes& bytes, const cord::Limits& limits = {}) {
  auto r = cord::deserialize<T>(bytes, limits);
  if (r) return std::nullopt;
  return r.error();
}

}  // namespace vornex::test
