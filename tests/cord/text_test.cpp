// Text checks: ASCII fast path, strict UTF-8 validation and NFC.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "cord/text.hpp"

namespace {

using namespace std::string_literals;
namespace text = cord::text;

// A high byte in every lane, in the tail, from unaligned starts; none just past the view.
TEST(CordText, IsAsciiFindsAHighByteAtEveryPosition) {
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t len = 0; len <= 20; ++len) {
      std::string buffer = std::string(offset + len, '\x7F') + '\x80';
      const std::string_view view(buffer.data() + offset, len);
      EXPECT_TRUE(text::is_ascii(view)) << offset << " " << len;
      for (std::size_t pos = 0; pos < len; ++pos) {
        buffer[offset + pos] = '\x80';
        EXPECT_FALSE(text::is_ascii(view)) << offset << " " << len << " " << pos;
        buffer[offset + pos] = '\0';
      }
    }
  }
}

TEST(CordText, IsUtf8) {
  for (const std::string& valid : {""s, "a\0b"s, "\xC2\x80"s, "\xDF\xBF"s, "\xE0\xA0\x80"s, "\xED\x9F\xBF"s,
                                   "\xEE\x80\x80"s, "\xEF\xBF\xBF"s, "\xF0\x90\x80\x80"s, "\xF4\x8F\xBF\xBF"s,
                                   "x\xC3\xA9y\xE2\x82\xAC"s}) {
    EXPECT_TRUE(text::is_utf8(valid)) << testing::PrintToString(valid);
  }
  for (const std::string& invalid : {
           // Overlong forms, surrogates, beyond U+10FFFF, bad leads.
           "\xC0\x80"s, "\xC1\xBF"s, "\xE0\x9F\xBF"s, "\xF0\x8F\xBF\xBF"s, "\xED\xA0\x80"s, "\xED\xBF\xBF"s,
           "\xF4\x90\x80\x80"s, "\xF5\x80\x80\x80"s, "\xFF"s, "\x80"s, "a\xBF"s,
           // Truncated sequences and bad continuation bytes.
           "\xC3"s, "a\xE2\x82"s, "\xF0\x9F\x98"s, "\xC3("s, "\xE2\x28\xA1"s, "\xF0\x9F\x98\x28"s, "\xC3\xA9\xA9"s}) {
    EXPECT_FALSE(text::is_utf8(invalid)) << testing::PrintToString(invalid);
  }
}

// is_nfc, to_nfc and normalize_nfc agree; an NFC input is handed back itself.
TEST(CordText, Nfc) {
  const std::pair<std::string, std::string> cases[] = {
      {""s, ""s}, {"a\0b"s, "a\0b"s}, {"caf\xC3\xA9"s, "caf\xC3\xA9"s}, {"\xEA\xB0\x80"s, "\xEA\xB0\x80"s},
      {"\xEF\xAC\x81"s, "\xEF\xAC\x81"s},               // U+FB01 is NFC (only NFKC splits it)
      {"cafe\xCC\x81"s, "caf\xC3\xA9"s},                // e + U+0301
      {"\xE1\x84\x80\xE1\x85\xA1"s, "\xEA\xB0\x80"s},  // U+1100 U+1161
      {"\xE2\x84\xAB"s, "\xC3\x85"s},                   // U+212B, a singleton
      {"a\0e\xCC\x81z"s, "a\0\xC3\xA9z"s},              // U+0000 does not end the text
  };
  for (const auto& [input, nfc] : cases) {
    EXPECT_EQ(text::is_nfc(input), input == nfc) << input;
    EXPECT_EQ(text::to_nfc(input), nfc) << input;
    std::string storage;
    const std::string_view out = text::normalize_nfc(input, storage);
    EXPECT_EQ(out, nfc) << input;
    EXPECT_EQ(out.data() == input.data(), input == nfc) << input;
  }
}

}  // namespace
