// The invitation text decoder against the published Bech32m and Bech32
// strings, and at the limits that differ from theirs: 1023 characters,
// Unicode white space, the checksum read before the prefix.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <expected>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hex.hpp"
#include "vornex/frontend/bundle.hpp"

#ifndef VORNEX_TESTDATA_DIR
#error "VORNEX_TESTDATA_DIR must name the test vector directory"
#endif

namespace {

using namespace vornex::frontend::bundle;
using vornex::test::hex;
using Checksum = detail::Checksum;

constexpr DecodeFailure kMalformed = DecodeFailure::Malformed;

nlohmann::json bech32m_vectors() {
  const std::filesystem::path path = std::filesystem::path(VORNEX_TESTDATA_DIR) / "bech32m.json";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("test vectors missing: " + path.string());
  return nlohmann::json::parse(in);
}

// The bytes, or the failure with its prefix.
std::expected<std::vector<std::uint8_t>, DecodeError> decoded(std::string_view text) {
  auto bytes = decode(text);
  if (!bytes) return std::unexpected(bytes.error());
  return std::vector<std::uint8_t>(bytes->view().begin(), bytes->view().end());
}

DecodeError wrong_prefix(std::string prefix) { return {DecodeFailure::WrongPrefix, std::move(prefix)}; }
DecodeError malformed() { return {kMalformed, {}}; }

// Computed independently with a Python checksum routine written from the
// published description: "hello" under vrnx with either checksum and under abc.
constexpr std::string_view kHelloBech32m = "vrnx1dpjkcmr03e2kyd";
constexpr std::string_view kHelloBech32 = "vrnx1dpjkcmr0y966p0";
constexpr std::string_view kHelloAbc = "abc1dpjkcmr08xem62";
const std::vector<std::uint8_t> kHello = hex("68656c6c6f");

// Every valid string has its own prefix, so decoding stops at the prefix
// comparison, after the checksum layer accepted it as Bech32m.
TEST(BundleVectors, Bech32mValid) {
  const auto vectors = bech32m_vectors();
  ASSERT_EQ(vectors["valid"].size(), 7u);
  for (const auto& entry : vectors["valid"]) {
    const std::string text = entry.get<std::string>();
    SCOPED_TRACE(text);
    const std::string hrp = text.substr(0, text.rfind('1'));
    const auto parsed = detail::parse(text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->checksum, Checksum::Bech32m);
    EXPECT_EQ(parsed->hrp, hrp);
    EXPECT_EQ(decoded(text), std::unexpected(wrong_prefix(hrp)));
  }
}

// The 91-character entry fails in the BIP for its length; 91 is within our
// 1023, and it is refused instead because its human-readable part has 84
// characters (its Bech32m checksum is right: checked independently). The
// first entry loses its leading blank to trimming and then has an empty
// human-readable part; the other reasons carry over unchanged.
TEST(BundleVectors, Bech32mInvalid) {
  const auto vectors = bech32m_vectors();
  ASSERT_EQ(vectors["invalid"].size(), 14u);
  for (const auto& entry : vectors["invalid"]) {
    const std::string text = entry["string"].get<std::string>();
    SCOPED_TRACE(text + " (" + entry["reason"].get<std::string>() + ")");
    EXPECT_FALSE(detail::parse(text).has_value());
    EXPECT_EQ(decoded(text), std::unexpected(malformed()));
  }
  const std::string long_hrp = vectors["invalid"][3]["string"].get<std::string>();
  ASSERT_EQ(long_hrp.size(), 91u);
  ASSERT_EQ(long_hrp.rfind('1'), 84u);
  // The BIP's byte 0x80 on its own, which is not UTF-8 at all.
  EXPECT_EQ(decoded("\x80" "1vctc34"), std::unexpected(malformed()));
}

// BIP-173's valid strings, each checked independently to leave the Bech32
// remainder 1; a Bech32 checksum is accepted as well.
TEST(BundleVectors, Bech32Accepted) {
  const std::string cases[] = {
      "A12UEL5L",
      "a12uel5l",
      "an83characterlonghumanreadablepartthatcontainsthenumber1andtheexcludedcharactersbio1tt5tgs",
      "abcdef1qpzry9x8gf2tvdw0s3jn54khce6mua7lmqqqxw",
      "11" + std::string(82, 'q') + "c8247j",
      "split1checkupstagehandshakeupstreamerranterredcaperred2y9e3w",
      "?1ezyfcl",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    const auto parsed = detail::parse(text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->checksum, Checksum::Bech32);
  }
  EXPECT_EQ(decoded(kHelloBech32), kHello);
  EXPECT_EQ(decoded(kHelloBech32m), kHello);
}

TEST(BundleDecode, PrefixCaseAndChecksumOrder) {
  std::string upper(kHelloBech32m);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const struct Case {
    std::string text;
    DecodeError error;
  } cases[] = {
      // The checksum covers the lower-case form: upper case verifies, and
      // then the prefix, compared as written, is wrong.
      {upper, wrong_prefix("VRNX")},
      {"vrnx1DPJKCMR03E2KYD", malformed()},  // mixed case, checksum otherwise right
      {"VRNX1dpjkcmr03e2kyd", malformed()},
      {std::string(kHelloAbc), wrong_prefix("abc")},
      // vrnx's checksum under another prefix: the checksum fails first.
      {"abc1dpjkcmr03e2kyd", malformed()},
      {"vrnx1dpjkcmr03e2kye", malformed()},
      {"vrnx1dpjkcmr03e2ky", malformed()},  // a character short
  };
  for (const Case& c : cases) EXPECT_EQ(decoded(c.text), std::unexpected(c.error)) << c.text;
}

TEST(BundleDecode, CharacterAndShapeChecks) {
  const std::string cases[] = {
      "",
      "vrnx",                  // no separator
      "1anywpu",               // empty human-readable part
      "vrnx1anywp",            // fewer than 6 characters after the separator
      "vrnx1dpjkcmr03e2kyb",   // b is not a data character
      "vrnx1dpjkcmr03e2ky d",  // white space inside is not trimmed
      "vr nx1dpjkcmr03e2kyd",  // nor inside the human-readable part
      std::string("vrnx1dpjkcmr03e2kyd\0", 20),
      "vrnx1dpjkcmr0\xc3\xa9" "3e2kyd",
  };
  for (const std::string& text : cases) EXPECT_EQ(decoded(text), std::unexpected(malformed())) << text;
}

// 1012 and 1013 'q' data characters; the checksums 080kke and kn8g8q were
// computed independently. Trailing bits are dropped: 1012 * 5 bits give
// 632 bytes and 4 spare bits.
TEST(BundleDecode, LengthLimit) {
  const std::string at_limit = "vrnx1" + std::string(1012, 'q') + "080kke";
  const std::string over_limit = "vrnx1" + std::string(1013, 'q') + "kn8g8q";
  ASSERT_EQ(at_limit.size(), 1023u);
  ASSERT_EQ(over_limit.size(), 1024u);
  EXPECT_EQ(decoded(at_limit), std::vector<std::uint8_t>(632, 0));
  EXPECT_EQ(decoded("  \n" + at_limit + "\r\n\t"), std::vector<std::uint8_t>(632, 0));
  EXPECT_EQ(decoded(over_limit), std::unexpected(malformed()));
}

// DE AD as 5-bit values is 27 26 22 and a last value 16, whose low four bits
// pad; with them set (31) the bytes are the same. Both texts computed
// independently, as is the text of no data at all.
TEST(BundleDecode, PackingDropsTrailingBits) {
  EXPECT_EQ(decoded("vrnx1m6ks6uvmaa"), hex("dead"));
  EXPECT_EQ(decoded("vrnx1m6kl93l8z9"), hex("dead"));
  EXPECT_EQ(decoded("vrnx1anywpu"), std::vector<std::uint8_t>{});
}

// Unicode White_Space around the text goes, including the code points
// outside ASCII; characters that merely look blank stay and fail.
TEST(BundleDecode, UnicodeWhiteSpaceTrimmed) {
  const std::string text(kHelloBech32m);
  const std::string white[] = {
      " \t\n\v\f\r",        "\u0085",       "\u00a0",       "\u1680",
      "\u2000\u2005\u200a", "\u2028\u2029", "\u202f\u205f", "\u3000",
  };
  for (const std::string& w : white) {
    EXPECT_EQ(decoded(w + text + w), kHello) << w;
    EXPECT_EQ(decoded(w + w), std::unexpected(malformed())) << w;
  }
  const std::string not_white[] = {"\u200b", "\ufeff", "\u180e", "\x01", "\xa0" /* a lone byte, not U+00A0 */};
  for (const std::string& w : not_white) {
    EXPECT_EQ(decoded(w + text), std::unexpected(malformed())) << w;
    EXPECT_EQ(decoded(text + w), std::unexpected(malformed())) << w;
  }
}

}  // namespace
