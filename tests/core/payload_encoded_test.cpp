// A payload kept as its encoding must be read exactly as the built value is:
// the same inputs accepted, the same error at the same byte, and the same
// bytes written back. Checked against the plain decoder on generated and
// damaged inputs, under small limits as well as the usual ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "cord/cord.hpp"
#include "vornex/core/payload.hpp"

namespace {

using cord::Bytes;
using cord::Encoded;
using cord::Limits;
using vornex::core::RecipientSlotV1;
using vornex::core::SealedPayloadV1;

// The other shapes the walk supports, nested as a stored type could be.
struct Label {
  std::string text;
  CORD_TRANSPARENT(text)
  bool operator==(const Label&) const = default;
};
struct Entry {
  std::uint8_t tag = 0;
  Label label;
  std::optional<Bytes> blob;
  CORD_FIELDS(tag, label, blob)
  bool operator==(const Entry&) const = default;
};
struct Mixed {
  std::uint32_t small = 0;
  std::vector<Entry> entries;
  std::optional<std::vector<Bytes>> lists;
  std::uint64_t big = 0;
  CORD_FIELDS(small, entries, lists, big)
  bool operator==(const Mixed&) const = default;
};

class Rng {
 public:
  explicit Rng(std::uint32_t seed) : gen_(seed) {}
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(gen_); }
  bool coin() { return below(2) == 0; }
  Bytes bytes(std::size_t max) {
    Bytes out(below(max + 1));
    for (auto& b : out) b = static_cast<std::uint8_t>(below(256));
    return out;
  }

 private:
  std::mt19937 gen_;
};

SealedPayloadV1 random_value(Rng& rng, const SealedPayloadV1*) {
  SealedPayloadV1 p{rng.bytes(14), rng.bytes(40), {}};
  for (std::size_t i = rng.below(5); i > 0; --i) {
    // Short recipients over two byte values, so that duplicates are common.
    Bytes recipient(rng.below(3), 0);
    for (auto& b : recipient) b = static_cast<std::uint8_t>(rng.below(2));
    p.recipient_slots.push_back(RecipientSlotV1{recipient, rng.bytes(6), rng.bytes(6)});
  }
  return p;
}

Mixed random_value(Rng& rng, const Mixed*) {
  static const char* const kTexts[] = {"", "a", "caf\xC3\xA9", "\xEA\xB0\x80x"};
  Mixed m{static_cast<std::uint32_t>(rng.below(1u << 20)), {}, std::nullopt, rng.below(1000) * 1'000'003};
  for (std::size_t i = rng.below(4); i > 0; --i) {
    m.entries.push_back(Entry{static_cast<std::uint8_t>(rng.below(256)), Label{kTexts[rng.below(4)]},
                              rng.coin() ? std::optional<Bytes>(rng.bytes(5)) : std::nullopt});
  }
  if (rng.coin()) m.lists.emplace(rng.below(3), rng.bytes(4));
  return m;
}

// The values a damaged length, count, tag or index is likeliest to take.
constexpr std::uint32_t kHugeWords[] = {0xFFFFFFFF, 0x01000001, 0x01000000, 0x00FFFFFF, 0x80000000, 0x00000100};

Bytes mutate(Bytes b, Rng& rng) {
  if (b.empty()) return rng.bytes(8);
  switch (rng.below(5)) {
    case 0:
      b.resize(rng.below(b.size()));
      break;
    case 1:
      b[rng.below(b.size())] ^= static_cast<std::uint8_t>(1u << rng.below(8));
      break;
    case 2: {  // a big-endian word over whatever stood there
      const std::uint32_t word = rng.coin() ? kHugeWords[rng.below(std::size(kHugeWords))]
                                            : static_cast<std::uint32_t>(b.size() + rng.below(3) - 1);
      const std::size_t at = rng.below(b.size());
      for (std::size_t i = 0; i < 4 && at + i < b.size(); ++i) b[at + i] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
      break;
    }
    case 3:
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(rng.below(b.size() + 1)), static_cast<std::uint8_t>(rng.below(4)));
      break;
    default:
      b.erase(b.begin() + static_cast<std::ptrdiff_t>(rng.below(b.size())));
  }
  return b;
}

Limits random_limits(Rng& rng) {
  switch (rng.below(4)) {
    case 0: return Limits{};
    case 1: return Limits{.max_length = rng.below(48)};
    case 2: return Limits{.max_length = cord::kMaxLength, .max_depth = static_cast<std::uint32_t>(rng.below(6))};
    default:
      return Limits{.max_length = rng.below(48), .max_depth = static_cast<std::uint32_t>(rng.below(6))};
  }
}

// Decodes `input` as V and as K (V with every T kept encoded) and expects
// the same outcome, error, bytes consumed and nesting left open.
template <class V, class K, class Check>
void expect_same_decoding(cord::ByteView input, const Limits& limits, Check check_values, std::size_t& accepted) {
  cord::Deserializer plain(input, limits);
  cord::Deserializer kept(input, limits);
  V built{};
  K encoded{};
  const auto a = cord::decode(plain, built);
  const auto b = cord::decode(kept, encoded);
  ASSERT_EQ(a.has_value(), b.has_value());
  if (!a) {
    EXPECT_EQ(a.error(), b.error());
    EXPECT_EQ(a.error().message(), b.error().message());
  }
  EXPECT_EQ(plain.position(), kept.position());
  EXPECT_EQ(plain.depth(), kept.depth());
  if (a) {
    ++accepted;
    check_values(built, encoded);
  }
}

template <class T>
void expect_same_value(const T& built, const Encoded<T>& kept) {
  const Bytes direct = cord::serialize(built).value();
  EXPECT_TRUE(std::ranges::equal(kept.bytes(), direct));
  EXPECT_EQ(cord::serialize(kept).value(), direct);
  ASSERT_TRUE(kept.decoded().has_value());
  EXPECT_EQ(kept.decoded().value(), built);
  EXPECT_EQ(kept, Encoded<T>(built));
}

template <class T>
class EncodedDecoding : public ::testing::Test {};
using Shapes = ::testing::Types<SealedPayloadV1, Mixed>;
// The type's name, not its index: the same case keeps its name when the
// list changes.
struct ShapeName {
  template <class T>
  static std::string GetName(int) {
    if constexpr (std::is_same_v<T, SealedPayloadV1>) {
      return "SealedPayloadV1";
    } else {
      static_assert(std::is_same_v<T, Mixed>);
      return "Mixed";
    }
  }
};
TYPED_TEST_SUITE(EncodedDecoding, Shapes, ShapeName);

// One value alone (nesting counted from the top) and values inside a
// sequence (nesting counted from a level below), intact and damaged.
TYPED_TEST(EncodedDecoding, AgreesWithThePlainDecoder) {
  using T = TypeParam;
  Rng rng(0x5EA1ED);
  std::size_t accepted_one = 0;
  std::size_t accepted_many = 0;
  std::size_t refused = 0;
  for (int round = 0; round < 1500; ++round) {
    SCOPED_TRACE(round);
    const T value = random_value(rng, static_cast<const T*>(nullptr));
    std::vector<T> values{value};
    for (std::size_t i = rng.below(3); i > 0; --i) values.push_back(random_value(rng, static_cast<const T*>(nullptr)));
    const Bytes one = cord::serialize(value).value();
    const Bytes many = cord::serialize(values).value();
    for (int variant = 0; variant < 6; ++variant) {
      const Limits limits = variant == 0 ? Limits{} : random_limits(rng);
      Bytes input_one = one;
      Bytes input_many = many;
      for (int n = variant == 0 ? 0 : 1 + static_cast<int>(rng.below(3)); n > 0; --n) {
        input_one = mutate(std::move(input_one), rng);
        input_many = mutate(std::move(input_many), rng);
      }
      const std::size_t before = accepted_one + accepted_many;
      expect_same_decoding<T, Encoded<T>>(input_one, limits, expect_same_value<T>, accepted_one);
      expect_same_decoding<std::vector<T>, std::vector<Encoded<T>>>(
          input_many, limits,
          [](const std::vector<T>& built, const std::vector<Encoded<T>>& kept) {
            ASSERT_EQ(built.size(), kept.size());
            for (std::size_t i = 0; i < built.size(); ++i) expect_same_value(built[i], kept[i]);
          },
          accepted_many);
      refused += 2 - (accepted_one + accepted_many - before);
      if (::testing::Test::HasFailure()) return;
    }
  }
  // Both outcomes occur often enough to mean something.
  EXPECT_GT(accepted_one, 1500u);
  EXPECT_GT(accepted_many, 1500u);
  EXPECT_GT(refused, 6000u);
}

// Written under a length limit, a kept value fails exactly where writing
// the built value fails, with the same error, and otherwise writes the same
// bytes, alone and after other fields.
TYPED_TEST(EncodedDecoding, WritesUnderLimitsAsTheBuiltValue) {
  using T = TypeParam;
  Rng rng(0xC0DE);
  std::size_t refused = 0;
  for (int round = 0; round < 2000; ++round) {
    SCOPED_TRACE(round);
    const T value = random_value(rng, static_cast<const T*>(nullptr));
    const Encoded<T> kept(value);
    const Limits limits{.max_length = rng.below(24)};
    const auto a = cord::serialize(value, limits);
    const auto b = cord::serialize(kept, limits);
    ASSERT_EQ(a, b);
    const auto pair_a = cord::serialize(std::vector<T>{value, value}, limits);
    const auto pair_b = cord::serialize(std::vector<Encoded<T>>{kept, kept}, limits);
    ASSERT_EQ(pair_a, pair_b);
    refused += a.has_value() ? 0 : 1;
  }
  EXPECT_GT(refused, 200u);
}

TYPED_TEST(EncodedDecoding, DefaultIsTheEncodingOfTheDefaultValue) {
  using T = TypeParam;
  const Encoded<T> fresh;
  EXPECT_TRUE(std::ranges::equal(fresh.bytes(), cord::serialize(T{}).value()));
  EXPECT_EQ(fresh.decoded().value(), T{});
  EXPECT_EQ(fresh, Encoded<T>(T{}));
  EXPECT_EQ(cord::serialize(fresh).value(), cord::serialize(T{}).value());
}

// A value that cannot be written keeps its error for whoever writes or
// reads it; equality never takes it for another value.
TEST(Encoded, AValueThatCannotBeWrittenKeepsItsError) {
  Mixed bad;
  bad.entries.push_back(Entry{1, Label{"\xFF"}, std::nullopt});
  const Encoded<Mixed> kept(bad);
  const auto direct = cord::serialize(bad);
  ASSERT_FALSE(direct.has_value());
  EXPECT_EQ(direct.error().kind(), cord::ErrorKind::InvalidUtf8);
  EXPECT_EQ(cord::serialize(kept), direct);
  EXPECT_EQ(kept.decoded().error(), direct.error());
  EXPECT_TRUE(kept.bytes().empty());
  EXPECT_EQ(kept, Encoded<Mixed>(kept));
  EXPECT_NE(kept, Encoded<Mixed>());
  EXPECT_NE(kept, Encoded<Mixed>(bad));
}

// Read from a buffer the caller shares, values borrow their bytes from it
// and keep it alive; read from anything else, they hold a copy. Either way
// they are the same values. A borrowed value moves to another buffer only
// where that buffer holds its very bytes.
TEST(Encoded, BorrowsFromASharedBufferAndMovesOnlyToItsOwnBytes) {
  Rng rng(0xB0770);
  struct Pair {
    Encoded<Mixed> first;
    Encoded<Mixed> second;
    CORD_FIELDS(first, second)
  };
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const Mixed a = random_value(rng, static_cast<const Mixed*>(nullptr));
    const Mixed b = random_value(rng, static_cast<const Mixed*>(nullptr));
    const Bytes first = cord::serialize(a).value();
    const Bytes second = cord::serialize(b).value();
    auto file = std::make_shared<const Bytes>(cord::serialize(Pair{a, b}).value());
    std::weak_ptr<const Bytes> watch = file;

    Pair borrowed;
    {
      cord::Deserializer d(*file);
      d.set_lender(&file);
      ASSERT_TRUE(cord::decode(d, borrowed).has_value());
    }
    ASSERT_EQ(borrowed.first.offset_in(*file), std::optional<std::size_t>(0));
    ASSERT_EQ(borrowed.second.offset_in(*file), std::optional<std::size_t>(first.size()));
    EXPECT_EQ(borrowed.first.decoded().value(), a);
    EXPECT_EQ(borrowed.second.decoded().value(), b);
    EXPECT_EQ(cord::serialize(borrowed).value(), *file);

    // Another lender, or none: a copy, equal all the same.
    const auto elsewhere = std::make_shared<const Bytes>(*file);
    for (const std::shared_ptr<const Bytes>* lender : {static_cast<const std::shared_ptr<const Bytes>*>(nullptr),
                                                        &elsewhere}) {
      cord::Deserializer d(*file);
      d.set_lender(lender);
      Pair copied;
      ASSERT_TRUE(cord::decode(d, copied).has_value());
      EXPECT_FALSE(copied.first.offset_in(*file).has_value());
      EXPECT_FALSE(copied.first.offset_in(*elsewhere).has_value());
      EXPECT_EQ(copied.first, borrowed.first);
      EXPECT_EQ(copied.second, borrowed.second);
    }

    // The file with a record put in front: each value's bytes moved up.
    Bytes grown = rng.bytes(40);
    const std::size_t shift = grown.size();
    grown.insert(grown.end(), file->begin(), file->end());
    const auto next = std::make_shared<const Bytes>(std::move(grown));
    // Places that do not hold the value's bytes leave it where it was:
    // past the end, running over the end, or one byte different.
    Bytes damaged = *next;
    damaged[shift + first.size() / 2] ^= 0x01;
    const auto other = std::make_shared<const Bytes>(std::move(damaged));
    for (const auto& [buffer, at] : std::vector<std::pair<std::shared_ptr<const Bytes>, std::size_t>>{
             {next, next->size() + 1}, {next, next->size() - first.size() + 1}, {next, SIZE_MAX}, {other, shift}}) {
      Encoded<Mixed> kept = borrowed.first;
      EXPECT_FALSE(kept.rehome(buffer, at)) << at;
      EXPECT_EQ(kept.offset_in(*file), std::optional<std::size_t>(0));
    }
    Encoded<Mixed> moved_first = borrowed.first;
    Encoded<Mixed> moved_second = borrowed.second;
    ASSERT_TRUE(moved_first.rehome(next, shift));
    ASSERT_TRUE(moved_second.rehome(next, shift + first.size()));
    EXPECT_EQ(moved_first.offset_in(*next), std::optional<std::size_t>(shift));
    EXPECT_EQ(moved_first, borrowed.first);
    EXPECT_EQ(moved_second.decoded().value(), b);
    // Once nothing borrows from the old file, it goes.
    file.reset();
    borrowed = Pair{};
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(moved_first.decoded().value(), a);
    EXPECT_TRUE(std::ranges::equal(moved_second.bytes(), second));
  }
}

// The recipients read in place answer as the built slots do, with few
// slots and with more than fit the inline list.
TEST(RecipientWalk, AnswersAsTheBuiltSlots) {
  using vornex::core::has_duplicate_recipient;
  using vornex::core::has_recipient;
  Rng rng(0x51075);
  std::size_t duplicates = 0;
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    SealedPayloadV1 p = random_value(rng, static_cast<const SealedPayloadV1*>(nullptr));
    // Sometimes many distinct readers, sometimes one of them twice.
    if (rng.below(4) == 0) {
      const std::size_t n = 14 + rng.below(8);
      p.recipient_slots.clear();
      for (std::size_t i = 0; i < n; ++i) {
        p.recipient_slots.push_back(RecipientSlotV1{Bytes{static_cast<std::uint8_t>(n - i), 7}, {}, rng.bytes(3)});
      }
      if (rng.coin()) p.recipient_slots[rng.below(n)].recipient = p.recipient_slots[rng.below(n)].recipient;
    }
    std::set<Bytes> seen;
    bool duplicate = false;
    for (const RecipientSlotV1& slot : p.recipient_slots) duplicate |= !seen.insert(slot.recipient).second;
    duplicates += duplicate ? 1 : 0;

    const Bytes encoding = cord::serialize(p).value();
    cord::Deserializer d(encoding);
    vornex::core::StoredPayloadV1 stored;
    ASSERT_TRUE(cord::decode(d, stored).has_value());
    EXPECT_EQ(has_duplicate_recipient(stored).value(), duplicate);
    for (const Bytes& reader : {Bytes{}, Bytes{0}, Bytes{1, 0}, Bytes{3, 7}, Bytes{9, 9, 9}}) {
      const bool present = std::ranges::any_of(p.recipient_slots, [&](const auto& s) { return s.recipient == reader; });
      EXPECT_EQ(has_recipient(stored, reader).value(), present);
    }
    auto walk = vornex::core::RecipientWalk::over(stored).value();
    ASSERT_EQ(walk.remaining(), p.recipient_slots.size());
    for (const RecipientSlotV1& slot : p.recipient_slots) EXPECT_TRUE(std::ranges::equal(walk.next().value(), slot.recipient));
    EXPECT_FALSE(walk.next().has_value());
  }
  EXPECT_GT(duplicates, 300u);
  EXPECT_LT(duplicates, 2700u);
}

}  // namespace
