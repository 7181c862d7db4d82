// Worked byte examples of the format: each is encoded, decoded and encoded
// again.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>

#include "cord/cord.hpp"
#include "hex.hpp"

namespace {

using cord::Bytes;
using cord::ErrorKind;
using vornex::test::hex;

struct Example {
  Bytes bytes;
  std::optional<std::uint64_t> absent;
  std::uint64_t count = 0;
  CORD_FIELDS(bytes, absent, count)
  bool operator==(const Example&) const = default;
};

struct Renamed {
  Bytes other;
  std::optional<std::uint64_t> names;
  std::uint64_t here = 0;
  CORD_FIELDS(other, names, here)
};

struct UnitA {
  CORD_UNIT
  bool operator==(const UnitA&) const = default;
};
struct UnitB {
  CORD_UNIT
  bool operator==(const UnitB&) const = default;
};
struct UnitC {
  CORD_UNIT
  bool operator==(const UnitC&) const = default;
};
using Units = std::variant<UnitA, UnitB, UnitC>;
using WithPayload = std::variant<UnitA, Example>;

template <class T>
void expect_round_trip(const T& value, const Bytes& expected) {
  auto encoded = cord::serialize(value);
  ASSERT_TRUE(encoded.has_value()) << encoded.error().message();
  EXPECT_EQ(vornex::test::to_hex(*encoded), vornex::test::to_hex(expected));
  auto decoded = cord::deserialize<T>(expected);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_TRUE(*decoded == value);
  auto again = cord::serialize(*decoded);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, expected);
}

TEST(CordFormat, Strings) {
  expect_round_trip(std::string(), hex("00000000"));
  expect_round_trip(std::string("abc"), hex("00000003 616263"));
  expect_round_trip(std::string("\xC3\xA9"), hex("00000002 C3A9"));
}

TEST(CordFormat, EncoderNormalisesToNfc) {
  auto encoded = cord::serialize(std::string("e\xCC\x81"));
  ASSERT_TRUE(encoded.has_value());
  EXPECT_EQ(*encoded, hex("00000002 C3A9"));
}

TEST(CordFormat, OptionsIntegersAndByteStrings) {
  expect_round_trip(std::optional<std::uint64_t>(), hex("00"));
  expect_round_trip(std::optional<std::uint64_t>(1), hex("01 0000000000000001"));
  expect_round_trip(Bytes{1, 2}, hex("00000002 0102"));
  Bytes id(32, 0x5A);
  Bytes expected = hex("00000020");
  expected.insert(expected.end(), id.begin(), id.end());
  expect_round_trip(id, expected);
  expect_round_trip(std::uint32_t{0x01020304}, hex("01020304"));
  expect_round_trip(std::uint8_t{0xFE}, hex("FE"));
}

TEST(CordFormat, StructsAndVariants) {
  const Example example{{0x0A, 0x0B}, std::nullopt, 5};
  expect_round_trip(example, hex("00000002 0A0B 00 0000000000000005"));
  expect_round_trip(WithPayload(example), hex("00000001 00000002 0A0B 00 0000000000000005"));
  expect_round_trip(Units(UnitC{}), hex("00000002"));
  // Field names are not written.
  const Renamed renamed{{0x0A, 0x0B}, std::nullopt, 5};
  EXPECT_EQ(cord::serialize(renamed), cord::serialize(example));
}

TEST(CordFormat, WidthHints) {
  using cord::Width8;
  using cord::Width16;
  using cord::Width64;
  using cord::Varint;
  const std::string s255(255, 'x');
  auto w8 = cord::serialize(Width8<std::string>{s255});
  ASSERT_TRUE(w8.has_value());
  EXPECT_EQ((*w8)[0], 0xFF);
  EXPECT_EQ(w8->size(), 256u);
  auto too_long = cord::serialize(Width8<std::string>{std::string(256, 'x')});
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error().kind(), ErrorKind::WidthOverflow);
  EXPECT_TRUE(cord::serialize(Width16<std::string>{std::string(65535, 'x')}).has_value());
  EXPECT_EQ(cord::serialize(Width16<std::string>{std::string(65536, 'x')}).error().kind(), ErrorKind::WidthOverflow);
  EXPECT_EQ(cord::serialize(Varint<std::string>{"abc"}), cord::serialize(std::string("abc")));
  expect_round_trip(Width64<Units>{Units(UnitB{})}, hex("0000000000000001"));
  expect_round_trip(Width16<Bytes>{{7}}, hex("0001 07"));
}

}  // namespace
