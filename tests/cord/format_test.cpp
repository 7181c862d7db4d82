// Worked byte examples of the format, width hints and their conflicts.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

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
};
struct UnitA { CORD_UNIT };
struct UnitB { CORD_UNIT };
struct UnitC { CORD_UNIT };
using Units = std::variant<UnitA, UnitB, UnitC>;
using Three = std::variant<UnitA, UnitB, std::uint8_t>;

template <class T>
void expect_round_trip(const T& value, const Bytes& expected) {
  EXPECT_EQ(vornex::test::to_hex(cord::serialize(value).value()), vornex::test::to_hex(expected));
  const auto decoded = cord::deserialize<T>(expected);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_EQ(cord::serialize(*decoded), expected);
}

TEST(CordFormat, Examples) {
  expect_round_trip(std::string(), hex("00000000"));
  expect_round_trip(std::string("abc"), hex("00000003 616263"));
  expect_round_trip(std::string("\xC3\xA9"), hex("00000002 C3A9"));
  // The encoder writes the NFC form.
  EXPECT_EQ(cord::serialize(std::string("e\xCC\x81")), hex("00000002 C3A9"));
  expect_round_trip(std::optional<std::uint64_t>(), hex("00"));
  expect_round_trip(std::optional<std::uint64_t>(1), hex("01 0000000000000001"));
  expect_round_trip(Bytes{1, 2}, hex("00000002 0102"));
  expect_round_trip(Bytes(32, 0x5A), hex("00000020 5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A"));
  expect_round_trip(std::uint32_t{0x01020304}, hex("01020304"));
  expect_round_trip(std::uint8_t{0xFE}, hex("FE"));
  const cord::Uuid<> uuid{
      {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF}};
  expect_round_trip(uuid, hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF"));
  const Example example{{0x0A, 0x0B}, std::nullopt, 5};
  expect_round_trip(example, hex("00000002 0A0B 00 0000000000000005"));
  expect_round_trip(std::variant<UnitA, Example>(example), hex("00000001 00000002 0A0B 00 0000000000000005"));
  expect_round_trip(Units(UnitC{}), hex("00000002"));
  expect_round_trip(Three(std::uint8_t{9}), hex("00000002 09"));
  // A failed encoding leaves the output as it was, even after partial writes.
  Bytes out = hex("AB");
  EXPECT_EQ(cord::serialize_into(out, std::vector<std::string>{"a", "\xC3("}).error().kind(), ErrorKind::InvalidUtf8);
  EXPECT_EQ(out, hex("AB"));
}

struct Name { std::string text; CORD_TRANSPARENT(text) };
struct HintedField { cord::Width16<std::string> s; CORD_FIELDS(s) };
struct ShortThenLong { cord::Width8<std::string> a; std::string b; CORD_FIELDS(a, b) };

TEST(CordFormat, WidthHints) {
  using cord::Width8;
  expect_round_trip(cord::Varint<std::string>{"abc"}, hex("00000003 616263"));
  expect_round_trip(cord::Width64<Units>{Units(UnitB{})}, hex("0000000000000001"));
  expect_round_trip(cord::Width16<Bytes>{{7}}, hex("0001 07"));
  expect_round_trip(Width8<Three>{Three(std::uint8_t{5})}, hex("02 05"));
  Bytes longest(256, 'x');
  longest[0] = 0xFF;
  expect_round_trip(Width8<std::string>{std::string(255, 'x')}, longest);
  EXPECT_EQ(cord::serialize(Width8<std::string>{std::string(256, 'x')}).error().kind(), ErrorKind::WidthOverflow);
  EXPECT_EQ(cord::serialize(cord::Width16<Bytes>{Bytes(65536)}).error().kind(), ErrorKind::WidthOverflow);
  // A transparent newtype and an option's tag pass the hint on; a struct
  // drops it, so its own hinted field is no conflict.
  expect_round_trip(Width8<Name>{{"abc"}}, hex("03 616263"));
  expect_round_trip(Width8<std::optional<std::string>>{"a"}, hex("01 01 61"));
  expect_round_trip(Width8<HintedField>{{{"abc"}}}, hex("0003 616263"));
  // The first prefix uses the hint up: not the next field, not the elements.
  expect_round_trip(ShortThenLong{{"abc"}, "x"}, hex("03 616263 00000001 78"));
  expect_round_trip(cord::Width16<std::vector<std::string>>{{"a"}}, hex("0001 00000001 61"));
}

template <class T>
void expect_conflict(const T& value) {
  EXPECT_EQ(cord::serialize(value).error().kind(), ErrorKind::ConflictingHints);
  // Refused before any byte is read, even bytes the inner value would take.
  for (const Bytes& input : {cord::serialize(value.value).value(), Bytes{}}) {
    EXPECT_EQ(cord::deserialize<T>(input).error(),
              cord::CordError::validation("Conflicting sentinel nesting: cannot combine width/varint wrappers"));
  }
}

TEST(CordFormat, NestedHintsConflict) {
  expect_conflict(cord::Width8<cord::Width16<std::string>>{{"abc"}});
  expect_conflict(cord::Varint<cord::Width64<Bytes>>{});
  expect_conflict(cord::Width8<cord::Evolving<std::uint8_t>>{{7}});
}

}  // namespace
