// Text checks: ASCII fast path, strict UTF-8 validation and NFC.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "cord/text.hpp"

namespace {

using namespace std::string_literals;
namespace text = cord::text;

// The word-at-a-time loop must see a high byte in every lane, in the tail,
// and from unaligned starting points.
TEST(CordText, IsAsciiFindsAHighByteAtEveryPosition) {
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t len = 0; len <= 20; ++len) {
      std::string buffer(offset + len + 8, 'a');
      const std::string_view clean(buffer.data() + offset, len);
      EXPECT_TRUE(text::is_ascii(clean)) << "offset " << offset << " len " << len;
      for (std::size_t pos = 0; pos < len; ++pos) {
        for (const char high : {'\x80', '\xFF'}) {
          buffer[offset + pos] = high;
          EXPECT_FALSE(text::is_ascii(clean)) << "offset " << offset << " len " << len << " pos " << pos;
          buffer[offset + pos] = 'a';
        }
      }
      // A high byte just past the view is not part of it.
      buffer[offset + len] = '\x80';
      EXPECT_TRUE(text::is_ascii(clean));
    }
  }
  EXPECT_TRUE(text::is_ascii("\x7F\x00\x01"s));
}

struct Utf8Case {
  std::string bytes;
  bool valid;
  const char* what;
};

TEST(CordText, IsUtf8) {
  const Utf8Case cases[] = {
      {""s, true, "empty"}, {"abc"s, true, "ascii"}, {"a\0b"s, true, "U+0000 inside"}, {"\0"s, true, "U+0000 alone"},
      {"\xC2\x80"s, true, "U+0080"}, {"\xDF\xBF"s, true, "U+07FF"}, {"\xE0\xA0\x80"s, true, "U+0800"},
      {"\xED\x9F\xBF"s, true, "U+D7FF"}, {"\xEE\x80\x80"s, true, "U+E000"}, {"\xEF\xBF\xBF"s, true, "U+FFFF"},
      {"\xF0\x90\x80\x80"s, true, "U+10000"}, {"\xF4\x8F\xBF\xBF"s, true, "U+10FFFF"},
      {"x\xC3\xA9y\xE2\x82\xAC"s, true, "mixed"}, {"\xC0\x80"s, false, "overlong NUL"},
      {"\xC1\xBF"s, false, "overlong 2-byte"}, {"\xE0\x80\x80"s, false, "overlong 3-byte"},
      {"\xE0\x9F\xBF"s, false, "overlong U+07FF"}, {"\xF0\x80\x80\x80"s, false, "overlong 4-byte"},
      {"\xF0\x8F\xBF\xBF"s, false, "overlong U+FFFF"}, {"\xED\xA0\x80"s, false, "high surrogate"},
      {"\xED\xBF\xBF"s, false, "low surrogate"}, {"\xF4\x90\x80\x80"s, false, "above U+10FFFF"},
      {"\xF5\x80\x80\x80"s, false, "lead F5"}, {"\xFF"s, false, "byte FF"}, {"\xC3"s, false, "truncated 2-byte"},
      {"\xE2\x82"s, false, "truncated 3-byte"}, {"\xF0\x9F\x98"s, false, "truncated 4-byte"},
      {"a\xE2\x82"s, false, "truncated at end after ascii"}, {"\xC3("s, false, "bad continuation"},
      {"\xE2\x28\xA1"s, false, "bad second byte"}, {"\xF0\x9F\x98\x28"s, false, "bad last byte"},
      {"\x80"s, false, "lone continuation"}, {"a\xBF"s, false, "continuation after ascii"},
      {"\xC3\xA9\xA9"s, false, "extra continuation"},
  };
  for (const auto& c : cases) EXPECT_EQ(text::is_utf8(c.bytes), c.valid) << c.what;
}

TEST(CordText, IsNfc) {
  EXPECT_TRUE(text::is_nfc(""));
  EXPECT_TRUE(text::is_nfc("plain"));
  EXPECT_TRUE(text::is_nfc("\xC3\xA9"));               // U+00E9
  EXPECT_FALSE(text::is_nfc("e\xCC\x81"));             // e + U+0301
  EXPECT_TRUE(text::is_nfc("\xEA\xB0\x80"));           // U+AC00
  EXPECT_FALSE(text::is_nfc("\xE1\x84\x80\xE1\x85\xA1"));  // U+1100 U+1161
  EXPECT_FALSE(text::is_nfc("\xE2\x84\xAB"));          // U+212B, singleton to U+00C5
  EXPECT_FALSE(text::is_nfc("a\0e\xCC\x81"s));         // the part after U+0000 counts
}

TEST(CordText, ToNfc) {
  EXPECT_EQ(text::to_nfc("e\xCC\x81"), "\xC3\xA9");
  EXPECT_EQ(text::to_nfc("\xE1\x84\x80\xE1\x85\xA1"), "\xEA\xB0\x80");
  EXPECT_EQ(text::to_nfc("\xE2\x84\xAB"), "\xC3\x85");
  EXPECT_EQ(text::to_nfc("\xC3\xA9"), "\xC3\xA9");
  // U+0000 does not end the text.
  EXPECT_EQ(text::to_nfc("a\0e\xCC\x81z"s), "a\0\xC3\xA9z"s);
  EXPECT_EQ(text::to_nfc("\0\0"s), "\0\0"s);
}

TEST(CordText, NormalizeNfcReturnsTheInputWhenAlreadyNormal) {
  for (const std::string& input : {""s, "ascii only"s, "a\0b"s, "caf\xC3\xA9"s, "\xEA\xB0\x80"s}) {
    std::string storage;
    const std::string_view out = text::normalize_nfc(input, storage);
    EXPECT_EQ(out.data(), input.data());
    EXPECT_EQ(out.size(), input.size());
  }
  const std::string decomposed = "caf" "e\xCC\x81";
  std::string storage;
  const std::string_view out = text::normalize_nfc(decomposed, storage);
  EXPECT_EQ(out, "caf\xC3\xA9");
  EXPECT_NE(out.data(), decomposed.data());
}

}  // namespace
