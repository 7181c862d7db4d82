// NFC in linear time against the normalisation library's plain map, byte
// for byte: random texts of marks, starters, Hangul and characters that
// decompose, long runs out of order, and the work they are counted at.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <utf8proc.h>

#include "cord/codec.hpp"
#include "cord/text.hpp"
#include "cord/work.hpp"
#include "env_number.hpp"
#include "plain_nfc.hpp"

namespace {

using namespace std::string_literals;
namespace text = cord::text;
using vornex::test::env_number;
using vornex::test::plain_is_nfc;
using vornex::test::plain_to_nfc;

std::string utf8(std::initializer_list<char32_t> code_points) {
  std::string out;
  for (const char32_t c : code_points) {
    utf8proc_uint8_t buf[4];
    const auto n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), buf);
    out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
  }
  return out;
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// Expected forms worked out from the character tables by hand.
TEST(CordNfc, KnownForms) {
  const std::pair<std::string, std::string> cases[] = {
      // A mark of a lower class after a higher one: reordered, then the
      // acute composes past the grave below.
      {utf8({'a', 0x0316, 0x0301}), "\xC3\xA1\xCC\x96"s},
      // NFC although its decomposition (a, acute, grave below) is out of order.
      {"\xC3\xA1\xCC\x96"s, "\xC3\xA1\xCC\x96"s},
      // e acute, dot below: the dot composes first, the acute stays apart.
      {"\xC3\xA9\xCC\xA3"s, "\xE1\xBA\xB9\xCC\x81"s},
      // U+0F73 splits into classes 129 and 130 and never composes again.
      {utf8({0x0F73, 0x0F73}), utf8({0x0F71, 0x0F71, 0x0F72, 0x0F72})},
      {utf8({0x0344}), "\xCC\x88\xCC\x81"s},
      // Marks of one class keep their order.
      {utf8({'q', 0x0301, 0x0300, 0x0316}), utf8({'q', 0x0316, 0x0301, 0x0300})},
      {utf8({0x1100, 0x1161, 0x11A8}), "\xEA\xB0\x81"s},
      // Marks in order with nothing to compose.
      {utf8({'q', 0x0316, 0x0301}), utf8({'q', 0x0316, 0x0301})},
      // Two starters of class 0 that compose.
      {utf8({0x0B47, 0x0B3E}), utf8({0x0B4B})},
  };
  for (const auto& [input, nfc] : cases) {
    EXPECT_EQ(text::to_nfc(input), nfc) << testing::PrintToString(input);
    EXPECT_EQ(text::is_nfc(input), input == nfc) << testing::PrintToString(input);
  }
}

// The early refusal rests on this: composition never makes a mark, so no
// character of nonzero class that decomposes is its own NFC.
TEST(CordNfc, NoMarkThatDecomposesIsNfc) {
  const auto options = static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE);
  std::size_t seen = 0;
  for (utf8proc_int32_t c = 0; c <= 0x10FFFF; ++c) {
    if (!utf8proc_codepoint_valid(c) || utf8proc_get_property(c)->combining_class == 0) continue;
    utf8proc_int32_t parts[8];
    const auto n = utf8proc_decompose_char(c, parts, 8, options, nullptr);
    if (n == 1 && parts[0] == c) continue;
    ++seen;
    const std::string s = utf8({static_cast<char32_t>(c)});
    EXPECT_NE(plain_to_nfc(s), s) << std::hex << c;
    EXPECT_FALSE(text::is_nfc(s)) << std::hex << c;
  }
  EXPECT_GT(seen, 0u);
}

// What random texts are made of: starters, marks of many classes (two of
// class 230 so that order within a class shows), Hangul jamo and
// syllables, characters that decompose into marks, composition exclusions,
// code points beyond the first plane, and a byte that is not UTF-8.
const std::vector<std::string>& pieces() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> out;
    for (const char32_t c : {U'a', U'e', U'q', U'\0', U'\u00E1', U'\u00E9', U'\u1EA1', U'\u0B47', U'\u0B3E',
                             U'\u0300', U'\u0301', U'\u0316', U'\u0323', U'\u0334', U'\u0345', U'\u05B0',
                             U'\u0315', U'\u031B', U'\u093C', U'\u302A', U'\u0F71', U'\u0F72', U'\u0F74',
                             U'\u0F80', U'\u0308', U'\u0302', U'\u1100', U'\u1161', U'\u11A8', U'\uAC00',
                             U'\uAC01', U'\u0F73', U'\u0F75', U'\u0F81', U'\u0344', U'\u0340', U'\u0343',
                             U'\u1F83', U'\u01D5', U'\u0390', U'\u1E69', U'\u212B', U'\u2126', U'\u0958',
                             U'\U0001D15E', U'\U0001D165', U'\U0001D167', U'\U0001D16D', U'\U000110BA'}) {
      out.push_back(utf8({c}));
    }
    out.push_back("\x80"s);
    return out;
  }();
  return all;
}

std::string random_text(std::mt19937_64& rng) {
  const std::vector<std::string>& all = pieces();
  // Mostly short texts; one in eight a long run with few starters, long
  // enough to be ordered by counting rather than insertion.
  const bool long_run = rng() % 8 == 0;
  const std::size_t length = long_run ? rng() % 200 : rng() % 24;
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    // The byte that is not UTF-8 is rare, so that most texts are valid.
    const std::size_t limit = rng() % 64 == 0 ? all.size() : all.size() - 1;
    std::size_t k = rng() % limit;
    if (long_run && rng() % 16 != 0) k = 9 + rng() % 17;  // marks
    out += all[k];
  }
  return out;
}

TEST(CordNfc, RandomTextsMatchThePlainMap) {
  const std::uint64_t seed = env_number("VORNEX_NFC_SEED", 1);
  const std::uint64_t count = env_number("VORNEX_NFC_TEXTS", 20000);
  std::mt19937_64 rng(seed);
  std::uint64_t already_nfc = 0;
  std::size_t failures = 0;
  for (std::uint64_t i = 0; i < count && failures < 5; ++i) {
    const std::string s = random_text(rng);
    const std::string expected = plain_to_nfc(s);
    already_nfc += expected == s ? 1 : 0;
    // Each text, and its NFC form, which has marks in order yet decomposes
    // out of order where something composed.
    for (const std::string& input : {s, expected}) {
      const std::string want = plain_to_nfc(input);
      const bool want_nfc = plain_is_nfc(input);
      std::string storage;
      const std::string_view normal = text::normalize_nfc(input, storage);
      // Whether text is NFC is asked only of UTF-8, which decoding checks
      // first; the maps hand anything else back as it is.
      const bool wrong_nfc = text::is_utf8(input) && text::is_nfc(input) != want_nfc;
      if (text::to_nfc(input) != want || wrong_nfc || normal != want) {
        ++failures;
        ADD_FAILURE() << "text " << testing::PrintToString(input) << " (seed " << seed << ", text " << i << ")";
      }
    }
  }
  // Both answers were seen often.
  EXPECT_GT(already_nfc, count / 10);
  EXPECT_LT(already_nfc, count - count / 10);
}

// Long runs out of order cost steps in proportion to their length, in
// is_nfc and to_nfc alike; the expected forms are built directly.
struct LongRun {
  const char* name;
  std::string text;
  std::string nfc;
};

std::vector<LongRun> long_runs(std::size_t n) {
  const std::string above = utf8({0x0301}), below = utf8({0x0316});
  return {
      {"above then below", "q" + repeat(above, n) + repeat(below, n), "q" + repeat(below, n) + repeat(above, n)},
      {"alternating", "q" + repeat(above + below, n), "q" + repeat(below, n) + repeat(above, n)},
      {"U+0F73 repeated", repeat(utf8({0x0F73}), n), repeat(utf8({0x0F71}), n) + repeat(utf8({0x0F72}), n)},
      {"in order", "q" + repeat(below, n) + repeat(above, n), "q" + repeat(below, n) + repeat(above, n)},
  };
}

// Steps counted per byte of text, at most.
constexpr double kStepsPerTextByte = 8.0;

TEST(CordNfc, LongRunsCostLinearSteps) {
  constexpr std::size_t kMarks = 40000;
  for (const LongRun& run : long_runs(kMarks)) {
    const std::uint64_t before = cord::work_done();
    EXPECT_EQ(text::to_nfc(run.text), run.nfc) << run.name;
    EXPECT_EQ(text::is_nfc(run.text), run.text == run.nfc) << run.name;
    const std::uint64_t steps = cord::work_done() - before;
    EXPECT_GE(steps, run.text.size() / 4) << run.name;
    EXPECT_LE(static_cast<double>(steps), kStepsPerTextByte * static_cast<double>(run.text.size())) << run.name;
  }
}

// Decoding counts its bytes, values and texts: a list of texts, laid out by
// hand (a four-byte big-endian count, then each text's four-byte length and
// bytes), is refused when a text is out of order and read when it is not,
// at a bounded cost either way.
std::vector<std::uint8_t> list_of(const std::vector<std::string>& texts) {
  std::vector<std::uint8_t> out;
  auto be32 = [&](std::size_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
  };
  be32(texts.size());
  for (const std::string& t : texts) {
    be32(t.size());
    out.insert(out.end(), t.begin(), t.end());
  }
  return out;
}

TEST(CordNfc, DecodingCountsItsWork) {
  constexpr std::size_t kMarks = 20000;
  for (const LongRun& run : long_runs(kMarks)) {
    const std::vector<std::uint8_t> bytes = list_of({"x", run.text, "y"});
    const std::uint64_t before = cord::work_done();
    const auto decoded = cord::deserialize<std::vector<std::string>>(bytes);
    const std::uint64_t steps = cord::work_done() - before;
    if (run.text == run.nfc) {
      ASSERT_TRUE(decoded.has_value()) << run.name;
      EXPECT_EQ(decoded->at(1), run.text) << run.name;
      EXPECT_GE(steps, bytes.size()) << run.name;
    } else {
      ASSERT_FALSE(decoded.has_value()) << run.name;
      EXPECT_EQ(decoded.error().kind(), cord::ErrorKind::NotNfc) << run.name;
    }
    EXPECT_LE(static_cast<double>(steps), kStepsPerTextByte * static_cast<double>(bytes.size())) << run.name;
  }
  // Elements and values count beyond their bytes.
  const std::vector<std::uint8_t> empties = list_of(std::vector<std::string>(1000));
  const std::uint64_t before = cord::work_done();
  ASSERT_TRUE(cord::deserialize<std::vector<std::string>>(empties).has_value());
  EXPECT_GE(cord::work_done() - before, empties.size() + 1);
}

}  // namespace
