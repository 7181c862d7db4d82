// Display texts of every error kind and the values errors carry.
#include <gtest/gtest.h>

#include <iterator>
#include <utility>

#include "cord/error.hpp"

namespace {

using cord::CordError;
using cord::ErrorKind;

TEST(CordError, EveryKindHasItsDisplayText) {
  // Indexed by the kind's number, so a reordered enum shows up as a mismatch.
  const std::pair<CordError, const char*> cases[] = {
      {CordError::io("disk gone"), "Cord encountered I/O error: disk gone"},
      {CordError::unsupported("f32"), "Cord does not support: f32"},
      {CordError::validation("Invalid option variant"), "Cord could not validate: Invalid option variant"},
      {CordError::serialization("boom"), "Cord serialization error: boom"},
      {CordError::deserialization("bad"), "Cord deserialization error: bad"},
      {CordError::schema("no such type"), "Cord schema error: no such type"},
      {CordError(ErrorKind::DepthLimitExceeded), "Cord depth limit exceeded"},
      {CordError::length_limit(16777217, 16777216),
       "Cord length limit exceeded: 16777217 exceeds maximum of 16777216"},
      {CordError::unknown_variant(4294967295u), "Cord encountered unknown enum variant index 4294967295"},
      {CordError(ErrorKind::DuplicateKey), "Duplicate key in map"},
      {CordError(ErrorKind::DuplicateElement), "Duplicate element in set"},
      {CordError(ErrorKind::TrailingBytes), "Trailing bytes after deserialization"},
      {CordError(ErrorKind::UnexpectedEof), "Unexpected end of input"},
      {CordError(ErrorKind::InvalidBool), "Invalid boolean value"},
      {CordError(ErrorKind::InvalidVarint), "Invalid varint encoding"},
      {CordError(ErrorKind::InvalidUtf8), "Invalid UTF-8"},
      {CordError(ErrorKind::NotNfc), "String is not NFC normalized"},
      {CordError(ErrorKind::NanNotAllowed), "NaN is not allowed in canonical encoding"},
      {CordError(ErrorKind::NegativeZero), "Negative zero is not allowed in canonical encoding"},
      {CordError(ErrorKind::ConflictingHints), "Conflicting encoding hints"},
      {CordError(ErrorKind::WidthOverflow), "Value overflow for encoding width"},
  };
  ASSERT_EQ(std::size(cases), 21u);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(cases[i].first.kind()), i);
    EXPECT_EQ(cases[i].first.message(), cases[i].second);
  }
}

// Accessors, and equality that looks at the carried values, not only the kind.
TEST(CordError, CarriedValuesAndEquality) {
  EXPECT_EQ(CordError::length_limit(5, 4).length(), 5u);
  EXPECT_EQ(CordError::length_limit(5, 4).maximum(), 4u);
  EXPECT_EQ(CordError::unknown_variant(0xFFFFFFFFu).variant_index(), 0xFFFFFFFFu);
  EXPECT_EQ(CordError::validation("x").text(), "x");
  EXPECT_NE(CordError::unknown_variant(3), CordError::unknown_variant(4));
  EXPECT_NE(CordError::validation("a"), CordError::validation("b"));
  EXPECT_NE(CordError::length_limit(3, 2), CordError::length_limit(3, 1));
}

}  // namespace
