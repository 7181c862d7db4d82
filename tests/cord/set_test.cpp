// cord::Set: elements kept in ascending order of their encodings, so equal
// sets have one encoding whatever order they were built in.
#include <gtest/gtest.h>

#include <string>
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

struct Key {
  Bytes id;
  CORD_FIELDS(id)
  bool operator==(const Key&) const = default;
};

struct Entry {
  std::string name;
  std::uint32_t value = 0;
  CORD_FIELDS(name, value)
  bool operator==(const Entry&) const = default;
};

const Bytes kOnes(32, 0x01);
const Bytes kTwos(32, 0x02);
constexpr const char* kEncodeDuplicate = "Cord serialization error: Duplicate element in set";
constexpr const char* kDecodeDuplicate = "Cord deserialization error: Duplicate element in set";

TEST(CordSet, EncodingIgnoresInsertionOrder) {
  EXPECT_EQ(cord::serialize(cord::Set<Entry>{}), hex("00000000"));
  EXPECT_TRUE(cord::Set<Entry>::from({})->empty());
  const Bytes expected = cat(cat(hex("00000002 00000020"), kOnes), cat(hex("00000020"), kTwos));
  for (const bool ones_first : {true, false}) {
    std::vector<Key> keys{{kOnes}, {kTwos}};
    if (!ones_first) std::swap(keys[0], keys[1]);
    const auto from = cord::Set<Key>::from(keys).value();
    EXPECT_EQ(cord::serialize(from), expected);
    cord::Set<Key> built;
    for (const auto& k : keys) EXPECT_TRUE(built.insert(k).value());
    EXPECT_EQ(built, from);
    // Plain byte strings order the same way.
    EXPECT_EQ(cord::serialize(cord::Set<Bytes>::from({keys[0].id, keys[1].id}).value()), expected);
  }
  EXPECT_EQ(cord::deserialize<cord::Set<Key>>(expected).value().items(), (std::vector<Key>{{kOnes}, {kTwos}}));
}

TEST(CordSet, OrderIsByEncodingNotByValue) {
  // The 4-byte length comes first, so the shorter name sorts first.
  const auto set = cord::Set<Entry>::from({{"aa", 1}, {"b", 1}, {"", 9}, {"ab", 0}}).value();
  EXPECT_EQ(set.items(), (std::vector<Entry>{{"", 9}, {"b", 1}, {"aa", 1}, {"ab", 0}}));
  EXPECT_EQ(cord::serialize(set),
            hex("00000004 00000000 00000009 00000001 62 00000001 00000002 6161 00000001 00000002 6162 00000000"));
  // Byte order is unsigned, and a proper prefix comes before its extensions.
  EXPECT_EQ(cord::Set<Bytes>::from({hex("80"), hex("7F"), hex("7F00")}).value().items(),
            (std::vector<Bytes>{hex("7F"), hex("80"), hex("7F00")}));
  EXPECT_EQ(cord::Set<std::uint32_t>::from({0x100u, 0xFFu, 0x80000000u, 1u}).value().items(),
            (std::vector<std::uint32_t>{1u, 0xFFu, 0x100u, 0x80000000u}));
}

TEST(CordSet, EqualElementsAreDroppedSilently) {
  const auto entries = cord::Set<Entry>::from({{"x", 1}, {"y", 2}, {"x", 1}, {"x", 1}});
  ASSERT_TRUE(entries.has_value()) << entries.error().message();
  EXPECT_EQ(entries->items(), (std::vector<Entry>{{"x", 1}, {"y", 2}}));
  const auto bytes = cord::Set<Bytes>::from({kOnes, kOnes});
  ASSERT_TRUE(bytes.has_value()) << bytes.error().message();
  EXPECT_EQ(bytes->size(), 1u);

  cord::Set<Entry> set;
  EXPECT_TRUE(set.insert({"x", 1}).value());
  EXPECT_FALSE(set.insert({"x", 1}).value());
  // Same name, different value: two elements.
  EXPECT_TRUE(set.insert({"x", 2}).value());
  EXPECT_EQ(set.size(), 2u);
}

TEST(CordSet, SameEncodingDifferentValueIsRefused) {
  const Entry composed{"caf\xC3\xA9", 1};
  const Entry decomposed{"cafe\xCC\x81", 1};
  for (const auto& items : {std::vector<Entry>{composed, decomposed}, std::vector<Entry>{decomposed, {"z", 0}, composed}}) {
    const auto set = cord::Set<Entry>::from(items);
    ASSERT_FALSE(set.has_value());
    EXPECT_EQ(set.error().kind(), ErrorKind::Serialization);
    EXPECT_EQ(set.error().message(), kEncodeDuplicate);
  }
  cord::Set<Entry> set;
  ASSERT_TRUE(set.insert(composed).value());
  EXPECT_EQ(set.insert(decomposed).error().message(), kEncodeDuplicate);
  EXPECT_EQ(set.size(), 1u);
  EXPECT_TRUE(set.insert({"cafe\xCC\x81", 2}).value());
  // An element that cannot be encoded at all is refused with its own error.
  EXPECT_EQ(set.insert({"\xC3(", 0}).error().message(), "Cord serialization error: Invalid UTF-8");
  EXPECT_EQ(cord::Set<std::string>::from({"ok", "\xFF"}).error().message(), "Cord serialization error: Invalid UTF-8");
}

TEST(CordSet, InsertEraseContains) {
  cord::Set<std::uint32_t> set;
  for (const std::uint32_t v : {50u, 10u, 40u, 20u, 30u, 10u, 60u, 0u}) (void)set.insert(v);
  EXPECT_EQ(set.items(), (std::vector<std::uint32_t>{0, 10, 20, 30, 40, 50, 60}));
  EXPECT_TRUE(set.contains(30));
  EXPECT_FALSE(set.contains(35));
  EXPECT_TRUE(set.erase(30));
  EXPECT_FALSE(set.erase(30));
  EXPECT_FALSE(set.contains(30));
  EXPECT_EQ(cord::serialize(set), hex("00000006 00000000 0000000A 00000014 00000028 00000032 0000003C"));
  EXPECT_TRUE(set.insert(30).value());
  EXPECT_EQ(set.items()[3], 30u);
}

template <class T>
std::string outcome(const Bytes& bytes) {
  auto r = cord::deserialize<cord::Set<T>>(bytes);
  return r ? "ok" : r.error().message();
}

TEST(CordSet, DecodeRequiresStrictlyAscendingElements) {
  EXPECT_EQ(outcome<std::uint32_t>(hex("00000000")), "ok");
  EXPECT_EQ(outcome<std::uint32_t>(hex("00000002 00000001 00000002")), "ok");
  EXPECT_EQ(outcome<std::uint32_t>(hex("00000002 00000001 00000001")), kDecodeDuplicate);
  EXPECT_EQ(outcome<std::uint32_t>(hex("00000002 00000002 00000001")), kDecodeDuplicate);
  EXPECT_EQ(outcome<std::uint32_t>(hex("00000003 00000001 00000003 00000002")), kDecodeDuplicate);
  EXPECT_EQ(outcome<std::uint32_t>(hex("00000002 00000001")), "Unexpected end of input");
  // "b" before "aa" is the only valid order; a prefix before its extension.
  EXPECT_EQ(outcome<std::string>(hex("00000002 00000001 62 00000002 6161")), "ok");
  EXPECT_EQ(outcome<std::string>(hex("00000002 00000002 6161 00000001 62")), kDecodeDuplicate);
  EXPECT_EQ(outcome<Bytes>(hex("00000002 00000001 7F 00000002 7F00")), "ok");
  EXPECT_EQ(outcome<Bytes>(hex("00000002 00000002 7F00 00000001 7F")), kDecodeDuplicate);

  const Bytes bytes = hex("00000003 00000000 00000001 00000001 62 00000007 00000002 6161 00000000");
  const auto set = cord::deserialize<cord::Set<Entry>>(bytes).value();
  EXPECT_EQ(set.items(), (std::vector<Entry>{{"", 1}, {"b", 7}, {"aa", 0}}));
  EXPECT_EQ(cord::serialize(set), bytes);
  // A width hint reaches the count.
  EXPECT_EQ(cord::serialize(cord::Width8<cord::Set<Entry>>{set}), cat(hex("03"), Bytes(bytes.begin() + 4, bytes.end())));
}

}  // namespace
