// HashValue against the plain byte vector it is written as: the same
// encodings, the same decoding steps and errors under any limits, the same
// order, equality, structural hash and debug text, for lengths either side
// of the 32 bytes it holds in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cord/cord.hpp"
#include "cord/skip.hpp"
#include "hex.hpp"
#include "vornex/core/hash.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/order.hpp"

namespace {

using cord::Bytes;
using namespace vornex::core;

// The shapes HashValue and an identifier had as plain byte vectors.
struct PlainHash {
  Bytes bytes;
  CORD_FIELDS(bytes)
  bool operator==(const PlainHash&) const = default;
};
struct PlainId {
  PlainHash hash;
  CORD_FIELDS(hash)
  bool operator==(const PlainId&) const = default;
};

constexpr std::size_t kLengths[] = {0, 1, 31, 32, 33, 64, 1000};

// Per length: zeros, 0xFF, a prefix of one shared random string (so that
// prefixes cross the inline boundary), and that prefix with its last byte
// flipped across the sign bit.
std::vector<Bytes> sample_values() {
  std::mt19937 rng(20240611);
  Bytes shared(1000);
  for (auto& b : shared) b = static_cast<std::uint8_t>(rng());
  std::vector<Bytes> out;
  for (const std::size_t n : kLengths) {
    out.emplace_back(n, 0x00);
    out.emplace_back(n, 0xFF);
    Bytes prefix(shared.begin(), shared.begin() + static_cast<std::ptrdiff_t>(n));
    out.push_back(prefix);
    if (n != 0) {
      prefix.back() ^= 0x80;
      out.push_back(prefix);
    }
  }
  return out;
}

// Written out by hand: a 4-byte big-endian length, then the bytes.
Bytes expected_encoding(const Bytes& bytes) {
  const auto n = static_cast<std::uint32_t>(bytes.size());
  Bytes out(4 + bytes.size());
  for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
  std::copy(bytes.begin(), bytes.end(), out.begin() + 4);
  return out;
}

std::string expected_debug(const Bytes& bytes) {
  std::string out = "HashValue([";
  for (std::size_t i = 0; i < bytes.size(); ++i) out += (i == 0 ? "" : ", ") + std::to_string(bytes[i]);
  return out + "])";
}

// Everything a decoding leaves behind: the value, the error, where the
// cursor stopped and how deep it was.
struct Outcome {
  std::optional<Bytes> value;
  std::optional<cord::CordError> error;
  std::size_t position = 0;
  std::uint32_t depth = 0;
  bool operator==(const Outcome&) const = default;
};

Bytes bytes_of(const HashValue& h) { return h.to_vec(); }
Bytes bytes_of(const PlainHash& h) { return h.bytes; }
Bytes bytes_of(const UserId& id) { return id.to_vec(); }
Bytes bytes_of(const PlainId& id) { return id.hash.bytes; }

template <class T>
Outcome decoded(const Bytes& input, const cord::Limits& limits) {
  cord::Deserializer d(input, limits);
  T value{};
  const auto st = cord::decode(d, value);
  Outcome out{std::nullopt, std::nullopt, d.position(), d.depth()};
  if (st) {
    out.value = bytes_of(value);
  } else {
    out.error = st.error();
  }
  return out;
}

template <class T>
Outcome skipped(const Bytes& input, const cord::Limits& limits) {
  cord::Deserializer d(input, limits);
  const auto st = cord::skip<T>(d);
  return Outcome{std::nullopt, st ? std::nullopt : std::optional(st.error()), d.position(), d.depth()};
}

template <class T>
std::optional<cord::CordError> whole_error(const Bytes& input, const cord::Limits& limits) {
  const auto r = cord::deserialize<T>(input, limits);
  return r ? std::nullopt : std::optional(r.error());
}

// Well-formed encodings and their damaged forms: cut short, a length off by
// one either way or huge, a byte left over.
std::vector<Bytes> decoder_inputs() {
  std::vector<Bytes> out;
  for (const Bytes& value : sample_values()) {
    const Bytes good = expected_encoding(value);
    out.push_back(good);
    for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{5},
                                  good.size() / 2, good.size() - 1}) {
      if (cut < good.size()) out.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    }
    Bytes extra = good;
    extra.push_back(0x00);
    out.push_back(extra);
    for (const std::uint32_t length : {static_cast<std::uint32_t>(value.size() + 1),
                                       static_cast<std::uint32_t>(value.size() - 1), 0xFFFFFFFFU}) {
      Bytes relabelled = good;
      for (int i = 0; i < 4; ++i) relabelled[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
      out.push_back(relabelled);
    }
  }
  return out;
}

std::vector<cord::Limits> decoder_limits() {
  std::vector<cord::Limits> out;
  for (const std::uint32_t depth : {0U, 1U, 2U, 3U, cord::kMaxDepth}) {
    for (const std::uint64_t length : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{31}, std::uint64_t{32},
                                       std::uint64_t{33}, std::uint64_t{999}, std::uint64_t{1000}, cord::kMaxLength}) {
      out.push_back(cord::Limits{.max_length = length, .max_depth = depth});
    }
  }
  return out;
}

TEST(HashValueAsBytes, EncodesAsTheByteVector) {
  for (const Bytes& value : sample_values()) {
    SCOPED_TRACE(value.size());
    const Bytes want = expected_encoding(value);
    EXPECT_EQ(cord::serialize(HashValue(value)), want);
    EXPECT_EQ(cord::serialize(PlainHash{value}), want);
    EXPECT_EQ(cord::serialize(UserId(HashValue(value))), want);
    EXPECT_EQ(cord::serialize(HashValue(cord::ByteView(value))), want);
    // An encoder that refuses what a reader with its limit would refuse.
    for (const std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{31}, std::uint64_t{32}, std::uint64_t{33},
                                      std::uint64_t{999}, std::uint64_t{1000}}) {
      SCOPED_TRACE(limit);
      const cord::Limits limits{.max_length = limit};
      EXPECT_EQ(cord::serialize(HashValue(value), limits), cord::serialize(PlainHash{value}, limits));
    }
  }
}

TEST(HashValueAsBytes, DecodesWithTheSameStepsAndErrors) {
  const auto inputs = decoder_inputs();
  const auto limits = decoder_limits();
  std::size_t accepted = 0;
  std::size_t refused = 0;
  for (const Bytes& input : inputs) {
    for (const cord::Limits& limit : limits) {
      SCOPED_TRACE(testing::Message() << vornex::test::to_hex(input).substr(0, 24) << " (" << input.size()
                                      << " bytes), depth " << limit.max_depth << ", length " << limit.max_length);
      const Outcome plain = decoded<PlainHash>(input, limit);
      EXPECT_EQ(decoded<HashValue>(input, limit), plain);
      EXPECT_EQ(decoded<UserId>(input, limit), decoded<PlainId>(input, limit));
      EXPECT_EQ(skipped<HashValue>(input, limit), skipped<PlainHash>(input, limit));
      EXPECT_EQ(skipped<UserId>(input, limit), skipped<PlainId>(input, limit));
      EXPECT_EQ(whole_error<HashValue>(input, limit), whole_error<PlainHash>(input, limit));
      EXPECT_EQ(whole_error<UserId>(input, limit), whole_error<PlainId>(input, limit));
      (plain.value ? accepted : refused) += 1;
    }
  }
  // Both sides of every check were reached.
  EXPECT_GT(accepted, 100U);
  EXPECT_GT(refused, 100U);
}

// Decoding over a value already held, either side of the inline boundary.
TEST(HashValueAsBytes, DecodingReplacesAHeldValue) {
  for (const Bytes& before : sample_values()) {
    for (const Bytes& after : sample_values()) {
      const Bytes input = expected_encoding(after);
      cord::Deserializer d(input);
      HashValue value(before);
      ASSERT_TRUE(cord::decode(d, value).has_value());
      EXPECT_EQ(value.to_vec(), after);
    }
  }
}

TEST(HashValueAsBytes, OrdersComparesAndHashesAsTheByteVector) {
  const auto values = sample_values();
  for (const Bytes& a : values) {
    for (const Bytes& b : values) {
      SCOPED_TRACE(testing::Message() << a.size() << " vs " << b.size());
      // Independently: unsigned bytes, a proper prefix first.
      const bool less = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
      const bool greater = std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end());
      const std::strong_ordering want = less      ? std::strong_ordering::less
                                        : greater ? std::strong_ordering::greater
                                                  : std::strong_ordering::equal;
      const HashValue ha(a);
      const HashValue hb(b);
      EXPECT_EQ(ha <=> hb, want);
      EXPECT_EQ(a <=> b, want);
      EXPECT_EQ(ha == hb, a == b);
      EXPECT_EQ(UserId(ha) <=> UserId(hb), want);
      EXPECT_EQ(structural_compare(ha, hb), want);
      EXPECT_EQ(structural_compare(PlainHash{a}, PlainHash{b}), want);
    }
    EXPECT_EQ(std::hash<HashValue>{}(HashValue(a)), structural_hash(PlainHash{a}));
    EXPECT_EQ(std::hash<UserId>{}(UserId(HashValue(a))), structural_hash(PlainId{PlainHash{a}}));
    EXPECT_EQ(debug_string(HashValue(a)), expected_debug(a));
    EXPECT_EQ(debug_string(UserId(HashValue(a))), "UserId(" + expected_debug(a) + ")");
  }
}

}  // namespace
