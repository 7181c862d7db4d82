// Decoder edge cases: malformed input, length and depth limits, wire primitives.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "cord/cord.hpp"
#include "hex.hpp"

namespace {

using cord::Bytes;
using vornex::test::hex;

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// "ok", or the display text of the error with the values it carries.
template <class T>
std::string outcome(const Bytes& bytes, const cord::Limits& limits = {}) {
  auto r = cord::deserialize<T>(bytes, limits);
  return r ? "ok" : r.error().message();
}
using Outcome = std::string (*)(const Bytes&, const cord::Limits&);

struct UnitA { CORD_UNIT };
struct UnitB { CORD_UNIT };
using Three = std::variant<UnitA, UnitB, std::uint8_t>;
using Opt = std::optional<std::uint8_t>;

TEST(CordDecoder, MalformedInputs) {
  const std::tuple<Outcome, const char*, const char*> cases[] = {
      {outcome<Bytes>, "00000002 AABBCC", "Trailing bytes after deserialization"},
      // A huge announced count with little behind it fails without reserving it.
      {outcome<std::vector<std::uint64_t>>, "01000000 0000000000000001", "Unexpected end of input"},
      {outcome<std::string>, "00000003 000000", "ok"},  // U+0000 is text
      {outcome<std::string>, "00000002 C328", "Invalid UTF-8"},
      {outcome<std::string>, "00000003 65CC81", "String is not NFC normalized"},
      {outcome<Opt>, "02", "Cord could not validate: Invalid option variant"},
      {outcome<Opt>, "FF 07", "Cord could not validate: Invalid option variant"},
      {outcome<Three>, "00000003", "Cord encountered unknown enum variant index 3"},
      {outcome<Three>, "FFFFFFFF", "Cord encountered unknown enum variant index 4294967295"},
      {outcome<cord::Width64<Three>>, "00000000FFFFFFFF", "Cord encountered unknown enum variant index 4294967295"},
      {outcome<cord::Width64<Three>>, "0000000100000000", "Value overflow for encoding width"},
      // A 16-byte value takes exactly 16 bytes, and only into a byte array.
      {outcome<cord::Uuid<>>, "F0F1F2F3F4F5F6F7F8F9FAFBFCFDFE", "Unexpected end of input"},
      {outcome<cord::Uuid<std::string>>, "61616161616161616161616161616161",
       "Cord could not validate: FixedBytesDeserializer only supports deserialize_bytes"},
  };
  for (const auto& [run, input, expected] : cases) EXPECT_EQ(run(hex(input), {}), expected) << input;
}

// The encoder refuses what a decoder with the same limits would refuse, so no
// writer can store bytes that no reader accepts.
TEST(CordLimits, LengthAtAndAboveTheLimit) {
  constexpr std::uint64_t kMax = 16'777'216;
  const std::string over_max = "Cord length limit exceeded: 16777217 exceeds maximum of 16777216";
  const Bytes at = cat(hex("01000000"), Bytes(kMax, 'a'));
  const Bytes over = cat(hex("01000001"), Bytes(kMax + 1, 'a'));
  for (const Outcome run : {outcome<std::string>, outcome<Bytes>, outcome<std::vector<std::uint8_t>>}) {
    EXPECT_EQ(run(at, {}), "ok");
    EXPECT_EQ(run(over, {}), over_max);
  }
  EXPECT_EQ(outcome<std::string>(over, cord::Limits{.max_length = kMax + 1}), "ok");
  EXPECT_EQ(outcome<std::string>(hex("00000003 616263"), cord::Limits{.max_length = 2}),
            "Cord length limit exceeded: 3 exceeds maximum of 2");

  const auto encoded = [](const auto& value, const cord::Limits& limits) {
    auto r = cord::serialize(value, limits);
    return r ? "ok" : r.error().message();
  };
  EXPECT_EQ(encoded(Bytes(kMax, 'a'), {}), "ok");
  EXPECT_EQ(encoded(std::string(kMax, 'a'), {}), "ok");
  EXPECT_EQ(encoded(Bytes(kMax + 1, 'a'), {}), over_max);
  EXPECT_EQ(encoded(std::string(kMax + 1, 'a'), {}), over_max);
  EXPECT_EQ(encoded(std::vector<std::uint8_t>(kMax + 1, 1), {}), over_max);
  EXPECT_EQ(encoded(Bytes(kMax + 1, 'a'), cord::Limits{.max_length = kMax + 1}), "ok");
  // Inside a struct, and an evolving payload over the limit whose fields are under it.
  struct Pair {
    Bytes a, b;
    CORD_FIELDS(a, b)
  };
  using Rec = std::variant<Pair>;
  const Pair small{Bytes(3, 'x'), Bytes(3, 'y')};
  EXPECT_EQ(encoded(cord::Evolving<Rec>(Rec{small}), cord::Limits{.max_length = 18}), "ok");
  EXPECT_EQ(encoded(cord::Evolving<Rec>(Rec{small}), cord::Limits{.max_length = 17}),
            "Cord length limit exceeded: 18 exceeds maximum of 17");
  EXPECT_EQ(encoded(Pair{Bytes(3, 'x'), Bytes(4, 'y')}, cord::Limits{.max_length = 3}),
            "Cord length limit exceeded: 4 exceeds maximum of 3");
}

// ---- Nesting depth ----

struct Nest { std::vector<Nest> inner; CORD_TRANSPARENT(inner) };

// `n` sequence counts of one: each sequence holds the next as its only element.
Bytes one_counts(std::size_t n) {
  Bytes out;
  for (std::size_t i = 0; i < n; ++i) out.insert(out.end(), {0, 0, 0, 1});
  return out;
}
// `levels` nested sequences; the innermost is empty.
Bytes nested_sequences(std::size_t levels) { return cat(one_counts(levels - 1), hex("00000000")); }

constexpr const char* kTooDeep = "Cord depth limit exceeded";

TEST(CordDecoder, DepthLimit) {
  EXPECT_EQ(outcome<Nest>(nested_sequences(128)), "ok");
  EXPECT_EQ(outcome<Nest>(nested_sequences(129)), kTooDeep);
  EXPECT_EQ(outcome<Nest>(nested_sequences(129), cord::Limits{.max_depth = 129}), "ok");
  // A width wrapper adds no level.
  EXPECT_EQ(outcome<cord::Width64<Nest>>(cat(hex("00000000"), nested_sequences(128))), "ok");
}

// N sequences around a leaf read at depth N, under a limit lowered to kAt so
// that few types are instantiated (128 itself is checked above).
template <std::size_t N, class Leaf>
struct Deep { std::vector<Deep<N - 1, Leaf>> inner; CORD_TRANSPARENT(inner) };
template <class Leaf>
struct Deep<0, Leaf> { Leaf leaf; CORD_TRANSPARENT(leaf) };

constexpr std::size_t kAt = 3;

template <std::size_t N, class Leaf>
std::string at_depth(const Bytes& leaf) {
  return outcome<Deep<N, Leaf>>(cat(one_counts(N), leaf), cord::Limits{.max_depth = kAt});
}

// A leaf that opens a level fails at the limit and passes one level up.
template <class Leaf>
void expect_opens_level(const Bytes& leaf) {
  EXPECT_EQ((at_depth<kAt, Leaf>(leaf)), kTooDeep);
  EXPECT_EQ((at_depth<kAt - 1, Leaf>(leaf)), "ok");
}

struct One { std::uint8_t x = 0; CORD_FIELDS(x) };

TEST(CordDecoder, DepthOfEachKindOfValue) {
  // An absent option opens no level; a present one does.
  EXPECT_EQ((at_depth<kAt, Opt>(hex("00"))), "ok");
  expect_opens_level<Opt>(hex("01 07"));
  EXPECT_EQ((at_depth<kAt, cord::Width8<std::string>>(hex("01 61"))), "ok");
  expect_opens_level<Bytes>(hex("00000000"));
  expect_opens_level<std::variant<UnitA>>(hex("00000000"));
  expect_opens_level<cord::Set<std::uint8_t>>(hex("00000000"));
  expect_opens_level<One>(hex("00"));
  expect_opens_level<std::array<std::uint8_t, 1>>(hex("07"));
  // An evolving record at the limit gives its payload the whole budget.
  const auto evolving = [](std::size_t levels) {
    return cat({0, 0, 0, static_cast<std::uint8_t>(4 * levels)}, nested_sequences(levels));
  };
  EXPECT_EQ((at_depth<kAt, cord::Evolving<Nest>>(evolving(kAt))), "ok");
  EXPECT_EQ((at_depth<kAt, cord::Evolving<Nest>>(evolving(kAt + 1))),
            "Cord deserialization error: Cord depth limit exceeded");
}

// ---- Primitives ----

TEST(CordWire, Primitives) {
  const std::pair<const char*, int> names[] = {
      {"__cord_evolving8", 0},  {"__cord_evolving8_raw", 0},  {"__cord_evolving16", 1}, {"__cord_evolving16_raw", 1},
      {"__cord_evolving32", 2}, {"__cord_evolving32_raw", 2}, {"__cord_evolving32x", 4}, {"__cord_evolving", 4},
      {"__cord_evolving64", 4}, {"", 4},                      {"__cord_set", 4},         {"__cord_evolving8_ra", 4},
  };
  for (const auto& [name, width] : names) EXPECT_EQ(cord::wire::evolving_width(name), width) << name;
  Bytes out;
  EXPECT_FALSE(cord::wire::write_length(out, 0x100000000, cord::Width::Four).has_value());
  EXPECT_TRUE(cord::wire::write_length(out, ~0ull, cord::Width::Eight).has_value());
  EXPECT_EQ(out, hex("FFFFFFFFFFFFFFFF"));
}

// ---- Reservation ----

struct Label {
  std::string key;
  std::string value;
  CORD_FIELDS(key, value)
};
struct Mixed {
  std::uint8_t tag;
  std::optional<std::uint8_t> maybe;
  std::array<std::uint32_t, 3> three;
  std::variant<UnitA, UnitB> unit;
  std::uint64_t counter;
  CORD_FIELDS(tag, maybe, three, unit, counter)
};
using Big = std::optional<std::array<std::uint64_t, 64>>;

// The fewest bytes of each kind of value are those of its smallest value,
// encoded; a unit takes none, so a count of units is never backed by bytes.
TEST(CordReserve, FewestBytesAreThoseOfTheSmallestValue) {
  EXPECT_EQ(cord::min_encoded_size<std::string>(), cord::serialize(std::string()).value().size());
  EXPECT_EQ(cord::min_encoded_size<Bytes>(), cord::serialize(Bytes()).value().size());
  EXPECT_EQ(cord::min_encoded_size<std::vector<Label>>(), cord::serialize(std::vector<Label>()).value().size());
  EXPECT_EQ(cord::min_encoded_size<Label>(), cord::serialize(Label()).value().size());
  EXPECT_EQ(cord::min_encoded_size<Mixed>(), cord::serialize(Mixed()).value().size());
  EXPECT_EQ(cord::min_encoded_size<Three>(), cord::serialize(Three()).value().size());
  EXPECT_EQ(cord::min_encoded_size<Opt>(), cord::serialize(Opt()).value().size());
  EXPECT_EQ(cord::min_encoded_size<Big>(), cord::serialize(Big()).value().size());
  EXPECT_EQ(cord::min_encoded_size<UnitA>(), 0u);
}

// A count the bytes left could back is reserved in full; any other no
// further than the cap, as is one of elements much larger held than written.
TEST(CordReserve, ACountTheBytesCanBackIsReservedInFull) {
  constexpr std::size_t kStrings = cord::kReserveCap / sizeof(std::string);
  constexpr std::size_t kBigs = cord::kReserveCap / sizeof(Big);
  const std::tuple<std::size_t, std::size_t, std::size_t, std::size_t> cases[] = {
      // count, bytes left, strings reserved, Bigs reserved
      {10, 40, 10, 10},
      {11, 40, 11, 11},
      {3'000'000, 12'000'000, 3'000'000, kBigs},
      {3'000'000, 11'999'999, kStrings, kBigs},
      {3'000'000, 0, kStrings, kBigs},
      {std::size_t{1} << 40, std::size_t{1} << 20, kStrings, kBigs},
  };
  for (const auto& [count, left, strings, bigs] : cases) {
    SCOPED_TRACE(std::to_string(count) + " in " + std::to_string(left));
    EXPECT_EQ(cord::reserve_for<std::string>(count, left), strings);
    EXPECT_EQ(cord::reserve_for<Big>(count, left), bigs);
    EXPECT_EQ(cord::reserve_for<UnitA>(count, left), std::min<std::size_t>(count, cord::kReserveCap));
  }
}

// A long sequence decodes into exactly the room it needs.
TEST(CordReserve, ALongSequenceHasNoRoomToSpare) {
  constexpr std::size_t kCount = 100'003;
  const std::vector<std::string> empty(kCount);
  const auto decoded = cord::deserialize<std::vector<std::string>>(cord::serialize(empty).value());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, empty);
  EXPECT_EQ(decoded->capacity(), kCount);
}

}  // namespace
