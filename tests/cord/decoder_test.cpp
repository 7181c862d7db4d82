// Decoder edge cases: malformed prefixes and text, limits, nesting depth,
// width hints, and the byte-level primitives under them.
#include <gtest/gtest.h>

#include <algorithm>
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

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// "ok", or the display text of the error, which names the kind and carries
// its values (lengths, indices, validation texts).
template <class T>
std::string outcome(const Bytes& bytes, const cord::Limits& limits = {}) {
  auto r = cord::deserialize<T>(bytes, limits);
  return r ? "ok" : r.error().message();
}

struct UnitA { CORD_UNIT bool operator==(const UnitA&) const = default; };
struct UnitB { CORD_UNIT bool operator==(const UnitB&) const = default; };
using Three = std::variant<UnitA, UnitB, std::uint8_t>;
using Opt = std::optional<std::uint8_t>;

struct Inner {
  std::string label;
  Bytes data;
  CORD_FIELDS(label, data)
  bool operator==(const Inner&) const = default;
};
struct Record {
  std::string name;
  std::optional<std::string> note;
  std::vector<std::variant<UnitA, Inner, std::uint64_t>> choices;
  Bytes raw;
  std::uint32_t n = 0;
  CORD_FIELDS(name, note, choices, raw, n)
  bool operator==(const Record&) const = default;
};

constexpr const char* kEof = "Unexpected end of input";
constexpr const char* kConflict =
    "Cord could not validate: Conflicting sentinel nesting: cannot combine width/varint wrappers";

TEST(CordDecoder, MalformedInputs) {
  EXPECT_EQ(cord::deserialize<Bytes>(hex("00000002 AABB")), hex("AABB"));
  EXPECT_EQ(outcome<Bytes>(hex("00000002 AABBCC")), "Trailing bytes after deserialization");
  EXPECT_EQ(outcome<Record>({}), kEof);
  EXPECT_EQ(outcome<Bytes>(hex("000000")), kEof);
  // A huge announced count with little behind it fails without reserving it.
  EXPECT_EQ(outcome<Bytes>(cat(hex("01000000"), Bytes(10, 0xAB))), kEof);
  EXPECT_EQ(outcome<std::vector<std::uint64_t>>(hex("01000000 0000000000000001")), kEof);

  // Strings: the length is checked against the input before the content.
  EXPECT_EQ(outcome<std::string>(hex("00000002 C3A9")), "ok");
  EXPECT_EQ(outcome<std::string>(hex("00000003 000000")), "ok");  // U+0000 is text
  EXPECT_EQ(outcome<std::string>(hex("00000005 6162")), kEof);
  EXPECT_EQ(outcome<std::string>(hex("00000002 C3")), kEof);
  EXPECT_EQ(outcome<std::string>(hex("00000002 C328")), "Invalid UTF-8");
  EXPECT_EQ(outcome<std::string>(hex("00000002 C080")), "Invalid UTF-8");
  EXPECT_EQ(outcome<std::string>(hex("00000003 EDA080")), "Invalid UTF-8");
  EXPECT_EQ(outcome<std::string>(hex("00000003 65CC81")), "String is not NFC normalized");
  EXPECT_EQ(outcome<std::string>(hex("00000006 E18480E185A1")), "String is not NFC normalized");
  EXPECT_EQ(cord::deserialize<std::string>(hex("00000003 610062")), std::string("a\0b", 3));

  // Option tags.
  EXPECT_EQ(cord::deserialize<Opt>(hex("00")).value(), Opt());
  EXPECT_EQ(cord::deserialize<Opt>(hex("01 07")).value(), Opt(7));
  EXPECT_EQ(outcome<Opt>(hex("02")), "Cord could not validate: Invalid option variant");
  EXPECT_EQ(outcome<Opt>(hex("FF 07")), "Cord could not validate: Invalid option variant");
  EXPECT_EQ(outcome<Opt>(hex("01")), kEof);

  // Variant indices.
  EXPECT_EQ(cord::deserialize<Three>(hex("00000002 09")), Three(std::uint8_t{9}));
  EXPECT_EQ(outcome<Three>(hex("00000003")), "Cord encountered unknown enum variant index 3");
  EXPECT_EQ(outcome<Three>(hex("FFFFFFFF")), "Cord encountered unknown enum variant index 4294967295");
  EXPECT_EQ(cord::deserialize<Three>(hex("00000003")).error().variant_index(), 3u);
  EXPECT_EQ(outcome<Three>(hex("000000")), kEof);
  using W64 = cord::Width64<Three>;
  EXPECT_EQ(cord::deserialize<W64>(hex("0000000000000001")), W64{Three(UnitB{})});
  EXPECT_EQ(outcome<W64>(hex("0000000100000000")), "Value overflow for encoding width");
  EXPECT_EQ(outcome<W64>(hex("00000000FFFFFFFF")), "Cord encountered unknown enum variant index 4294967295");
  EXPECT_EQ(cord::deserialize<cord::Width8<Three>>(hex("02 05")), cord::Width8<Three>{Three(std::uint8_t{5})});

  // A 16-byte value takes exactly 16 bytes, and only into a byte array.
  const Bytes raw = hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF");
  cord::Uuid<> id;
  std::copy(raw.begin(), raw.end(), id.value.begin());
  EXPECT_EQ(cord::serialize(id), raw);
  EXPECT_EQ(cord::deserialize<cord::Uuid<>>(raw), id);
  EXPECT_EQ(outcome<cord::Uuid<>>(Bytes(15, 0)), kEof);
  EXPECT_EQ(outcome<cord::Uuid<std::string>>(Bytes(16, 0x61)),
            "Cord could not validate: FixedBytesDeserializer only supports deserialize_bytes");
}

TEST(CordDecoder, LengthLimit) {
  constexpr std::uint64_t kMax = 16'777'216;
  const Bytes over = cat(hex("01000001"), Bytes(kMax + 1, 'a'));
  const char* const over_text = "Cord length limit exceeded: 16777217 exceeds maximum of 16777216";
  EXPECT_EQ(outcome<std::string>(over), over_text);
  EXPECT_EQ(outcome<Bytes>(over), over_text);
  EXPECT_EQ(outcome<std::vector<std::uint8_t>>(over), over_text);
  const auto e = cord::deserialize<std::string>(over).error();
  EXPECT_EQ(e.kind(), ErrorKind::LengthLimitExceeded);
  EXPECT_EQ(e.length(), kMax + 1);
  EXPECT_EQ(e.maximum(), kMax);

  const Bytes at = cat(hex("01000000"), Bytes(kMax, 'a'));
  EXPECT_EQ(outcome<std::string>(at), "ok");
  EXPECT_EQ(outcome<Bytes>(at), "ok");
  // The limit can be raised or lowered per call.
  EXPECT_EQ(outcome<std::string>(over, cord::Limits{.max_length = kMax + 1}), "ok");
  EXPECT_EQ(outcome<std::string>(hex("00000003 616263"), cord::Limits{.max_length = 2}),
            "Cord length limit exceeded: 3 exceeds maximum of 2");
}

struct Name {
  std::string text;
  CORD_TRANSPARENT(text)
  bool operator==(const Name&) const = default;
};
struct HintedField {
  cord::Width16<std::string> s;
  CORD_FIELDS(s)
  bool operator==(const HintedField&) const = default;
};
struct ShortThenLong {
  cord::Width8<std::string> a;
  std::string b;
  CORD_FIELDS(a, b)
  bool operator==(const ShortThenLong&) const = default;
};

template <class T>
void expect_round_trip(const T& value, const Bytes& bytes) {
  EXPECT_EQ(cord::serialize(value), bytes);
  EXPECT_EQ(cord::deserialize<T>(bytes), value);
}

TEST(CordDecoder, WidthHints) {
  // Nested wrappers are refused before any byte is read.
  using Nested = cord::Width8<cord::Width16<std::string>>;
  for (const Bytes& input : {hex("03 616263"), hex("0003 616263"), Bytes{}}) EXPECT_EQ(outcome<Nested>(input), kConflict);
  EXPECT_EQ(cord::serialize(Nested{{"abc"}}).error().kind(), ErrorKind::ConflictingHints);
  EXPECT_EQ(cord::serialize(cord::Varint<cord::Width64<Bytes>>{}).error().kind(), ErrorKind::ConflictingHints);

  // A struct drops the hint, so its own hinted field is no conflict.
  expect_round_trip(cord::Width8<HintedField>{{{"abc"}}}, hex("0003 616263"));
  // A transparent newtype passes the hint through.
  expect_round_trip(cord::Width8<Name>{{"abc"}}, hex("03 616263"));
  // The hint is used up by the first prefix: the next field is 4 bytes again.
  expect_round_trip(ShortThenLong{{"abc"}, "x"}, hex("03 616263 00000001 78"));
  EXPECT_EQ(outcome<ShortThenLong>(hex("03 616263 01 78")), kEof);
  // Only the count of a sequence takes the hint, not its elements' prefixes.
  expect_round_trip(cord::Width16<std::vector<std::string>>{{"a"}}, hex("0001 00000001 61"));
}

// Every proper prefix of a valid encoding ends inside some value.
TEST(CordDecoder, TruncationAtEveryOffsetFails) {
  const Record records[] = {
      {},
      {"n\xC3\xA9", "note", {UnitA{}, Inner{"lbl", {1, 2, 3}}, std::uint64_t{7}}, {9, 9}, 42},
      {"", std::nullopt, {Inner{"", {}}, Inner{"\xEA\xB0\x80", Bytes(40, 0x11)}}, Bytes(3, 0), 0xFFFFFFFF},
  };
  for (const auto& record : records) {
    const Bytes bytes = cord::serialize(record).value();
    EXPECT_EQ(cord::deserialize<Record>(bytes), record);
    for (std::size_t len = 0; len < bytes.size(); ++len) {
      const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len));
      EXPECT_EQ(outcome<Record>(prefix), kEof) << "prefix length " << len;
    }
  }
}

// ---- Nesting depth ----

struct Nest {
  std::vector<Nest> inner;
  CORD_TRANSPARENT(inner)
  bool operator==(const Nest&) const = default;
};

// `levels` sequences, each holding the next as its only element; the
// innermost is empty.
Bytes nested_sequences(std::size_t levels) {
  Bytes out;
  for (std::size_t i = 1; i < levels; ++i) out.insert(out.end(), {0, 0, 0, 1});
  return cat(out, hex("00000000"));
}

// N such sequences around a leaf, which is read at depth N.
template <std::size_t N, class Leaf>
struct Deep {
  std::vector<Deep<N - 1, Leaf>> inner;
  CORD_TRANSPARENT(inner)
};
template <class Leaf>
struct Deep<0, Leaf> {
  Leaf leaf;
  CORD_TRANSPARENT(leaf)
};

template <std::size_t N, class Leaf>
std::string at_depth(const Bytes& leaf) {
  Bytes bytes;
  for (std::size_t i = 0; i < N; ++i) bytes.insert(bytes.end(), {0, 0, 0, 1});
  return outcome<Deep<N, Leaf>>(cat(bytes, leaf));
}

struct One {
  std::uint8_t x = 0;
  CORD_FIELDS(x)
};

constexpr const char* kTooDeep = "Cord depth limit exceeded";

TEST(CordDecoder, DepthOfNestedSequences) {
  EXPECT_EQ(outcome<Nest>(nested_sequences(1)), "ok");
  EXPECT_EQ(outcome<Nest>(nested_sequences(128)), "ok");
  EXPECT_EQ(cord::serialize(cord::deserialize<Nest>(nested_sequences(128)).value()), nested_sequences(128));
  EXPECT_EQ(outcome<Nest>(nested_sequences(129)), kTooDeep);
  EXPECT_EQ(outcome<Nest>(nested_sequences(400)), kTooDeep);
  // A width wrapper adds no level.
  EXPECT_EQ(outcome<cord::Width64<Nest>>(cat(hex("00000000"), nested_sequences(128))), "ok");
  EXPECT_EQ(outcome<Nest>(nested_sequences(129), cord::Limits{.max_depth = 129}), "ok");
}

TEST(CordDecoder, DepthOfEachKindOfValue) {
  // Leaves read at depth 128: only those that open a level fail.
  EXPECT_EQ((at_depth<128, Opt>(hex("00"))), "ok");
  EXPECT_EQ((at_depth<128, Opt>(hex("01 07"))), kTooDeep);
  EXPECT_EQ((at_depth<127, Opt>(hex("01 07"))), "ok");
  EXPECT_EQ((at_depth<128, std::string>(hex("00000001 61"))), "ok");
  EXPECT_EQ((at_depth<128, std::uint32_t>(hex("00000001"))), "ok");
  EXPECT_EQ((at_depth<128, cord::Width8<std::string>>(hex("01 61"))), "ok");
  EXPECT_EQ((at_depth<128, Bytes>(hex("00000000"))), kTooDeep);
  EXPECT_EQ((at_depth<127, Bytes>(hex("00000000"))), "ok");
  EXPECT_EQ((at_depth<128, std::variant<UnitA>>(hex("00000000"))), kTooDeep);
  EXPECT_EQ((at_depth<127, std::variant<UnitA>>(hex("00000000"))), "ok");
  EXPECT_EQ((at_depth<128, cord::Set<std::uint8_t>>(hex("00000000"))), kTooDeep);
  EXPECT_EQ((at_depth<127, cord::Set<std::uint8_t>>(hex("00000000"))), "ok");
  EXPECT_EQ((at_depth<128, One>(hex("00"))), kTooDeep);
  EXPECT_EQ((at_depth<127, One>(hex("00"))), "ok");
}

TEST(CordDecoder, EvolvingPayloadStartsAtDepthZero) {
  const auto evolving = [](std::size_t levels) {
    const Bytes payload = nested_sequences(levels);
    Bytes out;
    EXPECT_TRUE(cord::wire::write_length(out, payload.size(), cord::Width::Four).has_value());
    return cat(out, payload);
  };
  EXPECT_EQ((at_depth<127, cord::Evolving<Nest>>(evolving(128))), "ok");
  EXPECT_EQ((at_depth<127, cord::Evolving<Nest>>(evolving(129))),
            "Cord deserialization error: Cord depth limit exceeded");
}

// ---- Primitives ----

TEST(CordWire, EvolvingWidthOfNames) {
  const std::pair<const char*, int> cases[] = {
      {"__cord_evolving8", 0},   {"__cord_evolving8_raw", 0},  {"__cord_evolving16", 1},
      {"__cord_evolving16_raw", 1}, {"__cord_evolving32", 2}, {"__cord_evolving32_raw", 2},
      {"__cord_evolving32x", 4}, {"__cord_evolving", 4},       {"__cord_evolving64", 4},
      {"", 4},                   {"__cord_set", 4},            {"__cord_evolving8_ra", 4},
  };
  for (const auto& [name, width] : cases) EXPECT_EQ(cord::wire::evolving_width(name), width) << name;
}

TEST(CordWire, WriteLengthWidths) {
  using cord::Width;
  struct Case {
    std::uint64_t value;
    Width width;
    const char* expected;  // nullptr: WidthOverflow, nothing appended
  };
  const Case cases[] = {
      {0, Width::One, "00"},          {255, Width::One, "FF"},          {256, Width::One, nullptr},
      {65535, Width::Two, "FFFF"},    {65536, Width::Two, nullptr},     {0x01020304, Width::Four, "01020304"},
      {0x100000000, Width::Four, nullptr}, {1, Width::Eight, "0000000000000001"},
      {0xFFFFFFFFFFFFFFFF, Width::Eight, "FFFFFFFFFFFFFFFF"},
  };
  for (const auto& c : cases) {
    Bytes out = hex("AA");
    const auto st = cord::wire::write_length(out, c.value, c.width);
    EXPECT_EQ(st.has_value(), c.expected != nullptr) << c.value;
    if (!st) {
      EXPECT_EQ(st.error().kind(), ErrorKind::WidthOverflow);
    }
    EXPECT_EQ(out, cat(hex("AA"), hex(c.expected ? c.expected : ""))) << c.value;
  }
}

}  // namespace
