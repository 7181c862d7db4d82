// Display texts of every error kind and the wrapping of inner errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cord/error.hpp"

namespace {

using cord::CordError;
using cord::ErrorKind;

struct DisplayCase {
  CordError error;
  std::string text;
};

// Indexed by the kind's number, so a reordered enum shows up as a mismatch.
std::vector<DisplayCase> display_cases() {
  return {
      {CordError::io("disk gone"), "Cord encountered I/O error: disk gone"},
      {CordError::unsupported("f32"), "Cord does not support: f32"},
      {CordError::validation("Invalid option variant"), "Cord could not validate: Invalid option variant"},
      {CordError::serialization("boom"), "Cord serialization error: boom"},
      {CordError::deserialization("bad"), "Cord deserialization error: bad"},
      {CordError::schema("no such type"), "Cord schema error: no such type"},
      {CordError(ErrorKind::DepthLimitExceeded), "Cord depth limit exceeded"},
      {CordError::length_limit(16777217, 16777216),
       "Cord length limit exceeded: 16777217 exceeds maximum of 16777216"},
      {CordError::unknown_variant(14), "Cord encountered unknown enum variant index 14"},
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
}

TEST(CordError, EveryKindHasItsDisplayText) {
  const auto cases = display_cases();
  ASSERT_EQ(cases.size(), 21u);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(static_cast<std::size_t>(cases[i].error.kind()), i);
    EXPECT_EQ(cases[i].error.message(), cases[i].text);
  }
}

TEST(CordError, CarriedValues) {
  const auto limit = CordError::length_limit(20000000, 16777216);
  EXPECT_EQ(limit.length(), 20000000u);
  EXPECT_EQ(limit.maximum(), 16777216u);
  EXPECT_EQ(CordError::unknown_variant(0xFFFFFFFFu).variant_index(), 0xFFFFFFFFu);
  EXPECT_EQ(CordError::unknown_variant(0xFFFFFFFFu).message(),
            "Cord encountered unknown enum variant index 4294967295");
  EXPECT_EQ(CordError::validation("x").text(), "x");
  EXPECT_TRUE(CordError(ErrorKind::UnexpectedEof).text().empty());
  // Equality looks at the carried values, not only the kind.
  EXPECT_EQ(CordError::unknown_variant(3), CordError::unknown_variant(3));
  EXPECT_NE(CordError::unknown_variant(3), CordError::unknown_variant(4));
  EXPECT_NE(CordError::validation("a"), CordError::validation("b"));
  // An empty carried text still gets its prefix.
  EXPECT_EQ(CordError::io("").message(), "Cord encountered I/O error: ");
}

TEST(CordError, WrappingKeepsTheInnerDisplayText) {
  const CordError dup(ErrorKind::DuplicateElement);
  const auto de = CordError::deserialization_from(dup);
  EXPECT_EQ(de.kind(), ErrorKind::Deserialization);
  EXPECT_EQ(de.text(), "Duplicate element in set");
  EXPECT_EQ(de.message(), "Cord deserialization error: Duplicate element in set");

  const auto se = CordError::serialization_from(dup);
  EXPECT_EQ(se.kind(), ErrorKind::Serialization);
  EXPECT_EQ(se.message(), "Cord serialization error: Duplicate element in set");

  EXPECT_EQ(CordError::deserialization("trailing bytes in evolving payload").message(),
            "Cord deserialization error: trailing bytes in evolving payload");
  EXPECT_EQ(CordError::deserialization_from(CordError::length_limit(20000000, 16777216)).message(),
            "Cord deserialization error: Cord length limit exceeded: 20000000 exceeds maximum of 16777216");
  // Wrapping twice nests the prefixes.
  EXPECT_EQ(CordError::deserialization_from(CordError::deserialization("Duplicate element in set")).message(),
            "Cord deserialization error: Cord deserialization error: Duplicate element in set");
  EXPECT_EQ(CordError::serialization_from(CordError(ErrorKind::InvalidUtf8)).message(),
            "Cord serialization error: Invalid UTF-8");
}

}  // namespace
