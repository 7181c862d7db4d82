// cord::Set: elements kept in ascending order of their encodings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cord/cord.hpp"
#include "hex.hpp"

namespace {

using cord::Bytes;
using vornex::test::hex;

struct Entry {
  std::string name;
  std::uint32_t value = 0;
  CORD_FIELDS(name, value)
  bool operator==(const Entry&) const = default;
};

constexpr const char* kEncodeDuplicate = "Cord serialization error: Duplicate element in set";
constexpr const char* kDecodeDuplicate = "Cord deserialization error: Duplicate element in set";

TEST(CordSet, OrderIsByEncodingWhateverTheInsertionOrder) {
  EXPECT_EQ(cord::serialize(cord::Set<Entry>{}), hex("00000000"));
  // The length comes first, so the shorter name sorts first; equal elements are kept once.
  const auto set = cord::Set<Entry>::from({{"aa", 1}, {"b", 1}, {"", 9}, {"ab", 0}, {"b", 1}}).value();
  EXPECT_EQ(set.items(), (std::vector<Entry>{{"", 9}, {"b", 1}, {"aa", 1}, {"ab", 0}}));
  EXPECT_EQ(cord::serialize(set),
            hex("00000004 00000000 00000009 00000001 62 00000001 00000002 6161 00000001 00000002 6162 00000000"));
}

TEST(CordSet, InsertEraseContains) {
  cord::Set<std::uint32_t> numbers;
  for (const std::uint32_t v : {50u, 0x80000000u, 40u, 20u, 30u, 10u, 0u}) EXPECT_TRUE(numbers.insert(v).value());
  EXPECT_FALSE(numbers.insert(40).value());
  EXPECT_TRUE(numbers.erase(30));
  EXPECT_FALSE(numbers.erase(30));
  EXPECT_FALSE(numbers.contains(30));
  EXPECT_TRUE(numbers.contains(40));
  // Byte order is unsigned.
  EXPECT_EQ(cord::serialize(numbers), hex("00000006 00000000 0000000A 00000014 00000028 00000032 80000000"));
}

TEST(CordSet, DifferentElementsWithOneEncodingAreRefused) {
  // Texts that normalise alike, in any order and with others between.
  const Entry composed{"caf\xC3\xA9", 1};
  const Entry decomposed{"cafe\xCC\x81", 1};
  for (const auto& items :
       {std::vector<Entry>{composed, decomposed}, std::vector<Entry>{decomposed, {"z", 0}, composed}}) {
    EXPECT_EQ(cord::Set<Entry>::from(items).error().message(), kEncodeDuplicate);
  }
  cord::Set<Entry> set;
  EXPECT_TRUE(set.insert(composed).value());
  EXPECT_EQ(set.insert(decomposed).error().message(), kEncodeDuplicate);
  // An element that cannot be encoded at all is refused with its own error.
  EXPECT_EQ(set.insert({"\xC3(", 0}).error().message(), "Cord serialization error: Invalid UTF-8");
  EXPECT_EQ(cord::Set<std::string>::from({"ok", "\xFF"}).error().message(), "Cord serialization error: Invalid UTF-8");
  EXPECT_EQ(set.size(), 1u);
}

template <class T>
std::string outcome(const char* input) {
  auto r = cord::deserialize<cord::Set<T>>(hex(input));
  return r ? "ok" : r.error().message();
}

TEST(CordSet, DecodeRequiresStrictlyAscendingElements) {
  EXPECT_EQ(outcome<std::uint32_t>("00000002 00000001 00000002"), "ok");
  EXPECT_EQ(outcome<std::uint32_t>("00000002 00000001 00000001"), kDecodeDuplicate);
  EXPECT_EQ(outcome<std::uint32_t>("00000002 00000002 00000001"), kDecodeDuplicate);
  EXPECT_EQ(outcome<std::uint32_t>("00000003 00000001 00000003 00000002"), kDecodeDuplicate);
  // "b" before "aa" is the only valid order.
  EXPECT_EQ(outcome<std::string>("00000002 00000001 62 00000002 6161"), "ok");
  EXPECT_EQ(outcome<std::string>("00000002 00000002 6161 00000001 62"), kDecodeDuplicate);

  const Bytes bytes = hex("00000003 00000000 00000001 00000001 62 00000007 00000002 6161 00000000");
  const auto set = cord::deserialize<cord::Set<Entry>>(bytes).value();
  EXPECT_EQ(set.items(), (std::vector<Entry>{{"", 1}, {"b", 7}, {"aa", 0}}));
  EXPECT_EQ(cord::serialize(set), bytes);
  // A width hint reaches the count.
  EXPECT_EQ(cord::serialize(cord::Width8<cord::Set<Entry>>{set}),
            hex("03 00000000 00000001 00000001 62 00000007 00000002 6161 00000000"));
}

}  // namespace
