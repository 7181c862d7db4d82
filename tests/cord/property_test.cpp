// Encodings holding every kind of value, cut short and mutated: any input the
// decoder accepts must re-encode to exactly that input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "cord/cord.hpp"
#include "hex.hpp"

namespace {

using cord::Bytes;

struct UnitA { CORD_UNIT bool operator==(const UnitA&) const = default; };

struct Item { std::string name; Bytes blob; CORD_FIELDS(name, blob) bool operator==(const Item&) const = default; };

using Event = std::variant<UnitA, Item, std::uint64_t, std::optional<std::string>>;
using Rec = std::variant<UnitA, Item, std::uint32_t>;

struct Rich {
  std::string title;
  Bytes blob;
  std::optional<std::uint32_t> maybe;
  std::vector<Event> events;
  cord::Set<Item> items;
  cord::Evolving<Rec> record;
  std::uint8_t flag = 0;
  CORD_FIELDS(title, blob, maybe, events, items, record, flag)
  bool operator==(const Rich&) const = default;
};

std::vector<Rich> seeds() {
  const auto set_of = [](std::vector<Item> items) { return cord::Set<Item>::from(std::move(items)).value(); };
  return {
      Rich{},
      {"caf\xC3\xA9 \xEA\xB0\x80", {0, 1, 2, 0xFF}, 7,
       {UnitA{}, Item{"i", {9}}, std::uint64_t{1} << 40, std::optional<std::string>("x\xE2\x82\xAC")},
       set_of({{"b", {}}, {"aa", {1}}, {"\xC3\x9F", {2, 2}}}), Rec(Item{"rec", {3, 4}}), 1},
      {std::string("a\0b", 3), {}, std::nullopt, {std::optional<std::string>(), std::uint64_t{0}}, set_of({{"", {}}}),
       cord::Evolving<Rec>::unknown(vornex::test::hex("00000007 00000002 6162 FF")), 0xFE},
      {"\xF0\x9F\x98\x80", Bytes(40, 0x5A), 0xFFFFFFFF, {}, {}, Rec(std::uint32_t{3}), 2},
  };
}

// The byte values likeliest to slip past a tag, index or length check.
constexpr std::uint8_t kEdges[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x7F, 0x80, 0xFF};

Bytes mutate(Bytes b, std::mt19937& rng) {
  const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  const auto at = [&](std::size_t n) { return b.begin() + static_cast<std::ptrdiff_t>(pick(n)); };
  switch (pick(b.empty() ? 1 : 6)) {
    case 0: b.insert(at(b.size() + 1), static_cast<std::uint8_t>(pick(256))); break;
    case 1: b[pick(b.size())] ^= static_cast<std::uint8_t>(1 + pick(255)); break;
    case 2: b.erase(at(b.size())); break;
    case 3: b[pick(b.size())] = kEdges[pick(std::size(kEdges))]; break;
    case 4: b.resize(pick(b.size())); break;
    default: {  // duplicate a range in place
      const auto from = at(b.size());
      const Bytes range(from, from + 1 + static_cast<std::ptrdiff_t>(pick(std::min<std::size_t>(b.end() - from, 16))));
      b.insert(from, range.begin(), range.end());
    }
  }
  return b;
}

TEST(CordProperty, TruncationsFailAndAcceptedMutationsReencodeExactly) {
  const auto eof = std::unexpected(cord::CordError(cord::ErrorKind::UnexpectedEof));
  std::mt19937 rng(20240611);
  std::size_t accepted = 0;
  std::vector<Bytes> inputs;
  for (const Rich& seed : seeds()) {
    const Bytes encoded = cord::serialize(seed).value();
    ASSERT_EQ(cord::deserialize<Rich>(encoded), seed);
    // Every proper prefix ends inside some value.
    for (std::size_t len = 0; len < encoded.size(); ++len) {
      EXPECT_EQ(cord::deserialize<Rich>(cord::ByteView(encoded).first(len)), eof) << "prefix length " << len;
    }
    // Every byte set to each boundary value: reaches every tag and index.
    for (std::size_t pos = 0; pos < encoded.size(); ++pos) {
      for (const std::uint8_t v : kEdges) {
        inputs.push_back(encoded);
        inputs.back()[pos] = v;
      }
    }
    // Up to three stacked mutations, so some land past the first failure point.
    for (int i = 0; i < 1000; ++i) {
      inputs.push_back(mutate(encoded, rng));
      for (std::size_t extra = rng() % 3; extra > 0; --extra) inputs.back() = mutate(inputs.back(), rng);
    }
  }
  for (const Bytes& input : inputs) {
    const auto decoded = cord::deserialize<Rich>(input);
    if (!decoded) continue;
    ++accepted;
    ASSERT_EQ(vornex::test::to_hex(cord::serialize(*decoded).value()), vornex::test::to_hex(input))
        << "accepted a non-canonical input";
  }
  // Mutations inside raw bytes and integers stay valid; the check must see some.
  EXPECT_GT(accepted, 200u);
}

}  // namespace
