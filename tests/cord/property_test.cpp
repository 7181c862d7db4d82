// Canonicality: the decoder accepts only bytes the encoder would write, so
// any input it accepts must re-encode to exactly that input. Checked on many
// random mutations of valid encodings, plus random value round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "cord/cord.hpp"
#include "hex.hpp"

namespace {

using cord::Bytes;
using vornex::test::to_hex;

struct UnitA { CORD_UNIT bool operator==(const UnitA&) const = default; };

struct Item {
  std::string name;
  Bytes blob;
  CORD_FIELDS(name, blob)
  bool operator==(const Item&) const = default;
};

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

Bytes mutate(const Bytes& input, std::mt19937& rng) {
  Bytes b = input;
  const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  const auto byte = [&] { return static_cast<std::uint8_t>(pick(256)); };
  switch (pick(b.empty() ? 1 : 6)) {
    case 0:  // insert a byte
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(pick(b.size() + 1)), byte());
      break;
    case 1:  // flip bits of a byte
      b[pick(b.size())] ^= static_cast<std::uint8_t>(1 + pick(255));
      break;
    case 2:  // delete a byte
      b.erase(b.begin() + static_cast<std::ptrdiff_t>(pick(b.size())));
      break;
    case 3: {  // set a byte to a boundary value, the likeliest to slip past a tag or index check
      static constexpr std::uint8_t kEdges[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x7F, 0x80, 0xFF};
      b[pick(b.size())] = kEdges[pick(std::size(kEdges))];
      break;
    }
    case 4:  // truncate
      b.resize(pick(b.size()));
      break;
    default: {  // duplicate a range in place
      const std::size_t from = pick(b.size());
      const std::size_t len = 1 + pick(std::min<std::size_t>(b.size() - from, 16));
      const Bytes range(b.begin() + static_cast<std::ptrdiff_t>(from),
                        b.begin() + static_cast<std::ptrdiff_t>(from + len));
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(from), range.begin(), range.end());
      break;
    }
  }
  return b;
}

TEST(CordProperty, AcceptedMutationsReencodeExactly) {
  std::mt19937 rng(20240611);
  std::size_t accepted = 0;
  std::size_t total = 0;
  const auto check = [&](const Bytes& input) {
    ++total;
    const auto decoded = cord::deserialize<Rich>(input);
    if (!decoded) return;
    ++accepted;
    const auto again = cord::serialize(*decoded);
    ASSERT_TRUE(again.has_value()) << again.error().message();
    ASSERT_EQ(to_hex(*again), to_hex(input)) << "accepted a non-canonical input";
  };
  for (const Rich& seed : seeds()) {
    const Bytes encoded = cord::serialize(seed).value();
    ASSERT_EQ(cord::deserialize<Rich>(encoded), seed);
    // Every byte set to each boundary value: reaches every tag and index.
    for (std::size_t pos = 0; pos < encoded.size(); ++pos) {
      for (const std::uint8_t v : {0x00, 0x01, 0x02, 0x03, 0x04, 0x7F, 0x80, 0xFF}) {
        Bytes input = encoded;
        input[pos] = v;
        check(input);
        if (HasFatalFailure()) return;
      }
    }
    for (int i = 0; i < 1000; ++i) {
      // Stack up to three mutations so some land past the first failure point.
      Bytes input = mutate(encoded, rng);
      for (std::size_t extra = std::uniform_int_distribution<std::size_t>(0, 2)(rng); extra > 0; --extra) {
        input = mutate(input, rng);
      }
      check(input);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(total, 4000u);
  // Mutations inside raw bytes and integers stay valid; the check must see some.
  EXPECT_GT(accepted, 200u);
}

// Fragments that stay NFC in any concatenation: no combining marks or jamo.
std::string random_text(std::mt19937& rng) {
  static const char* const kFragments[] = {"a", "Z", " ", "\xC3\xA9", "\xEA\xB0\x80", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                        "\xC3\x9F", "~"};
  std::string out;
  const std::size_t n = rng() % 6;
  for (std::size_t i = 0; i < n; ++i) {
    if (rng() % 10 == 0) {
      out.push_back('\0');
    } else {
      out += kFragments[rng() % std::size(kFragments)];
    }
  }
  return out;
}

Bytes random_bytes(std::mt19937& rng) {
  Bytes out(rng() % 8);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

Item random_item(std::mt19937& rng) { return {random_text(rng), random_bytes(rng)}; }

Rich random_rich(std::mt19937& rng) {
  Rich r;
  r.title = random_text(rng);
  r.blob = random_bytes(rng);
  if (rng() % 2) r.maybe = static_cast<std::uint32_t>(rng());
  for (std::size_t i = rng() % 4; i > 0; --i) {
    const Event events[] = {UnitA{}, random_item(rng), std::uint64_t{rng()} << 32 | rng(),
                            rng() % 2 ? std::optional<std::string>(random_text(rng)) : std::nullopt};
    r.events.push_back(events[rng() % 4]);
  }
  for (std::size_t i = rng() % 4; i > 0; --i) EXPECT_TRUE(r.items.insert(random_item(rng)).has_value());
  switch (rng() % 3) {
    case 0: r.record = Rec(random_item(rng)); break;
    case 1: r.record = Rec(static_cast<std::uint32_t>(rng())); break;
    default: {
      // An index past the known alternatives, then arbitrary bytes.
      Bytes payload = {0, 0, 0, static_cast<std::uint8_t>(3 + rng() % 200)};
      const Bytes tail = random_bytes(rng);
      payload.insert(payload.end(), tail.begin(), tail.end());
      r.record = cord::Evolving<Rec>::unknown(payload);
    }
  }
  r.flag = static_cast<std::uint8_t>(rng());
  return r;
}

TEST(CordProperty, RandomValuesRoundTrip) {
  std::mt19937 rng(7);
  for (int i = 0; i < 500; ++i) {
    const Rich value = random_rich(rng);
    const auto encoded = cord::serialize(value);
    ASSERT_TRUE(encoded.has_value()) << encoded.error().message();
    const auto decoded = cord::deserialize<Rich>(*encoded);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message() << " for " << to_hex(*encoded);
    ASSERT_TRUE(*decoded == value) << to_hex(*encoded);
    ASSERT_EQ(cord::serialize(*decoded), encoded);
  }
}

}  // namespace
