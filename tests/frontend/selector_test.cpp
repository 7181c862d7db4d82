// Selector text: parsing, the canonical text, refusals and their order,
// and round trips over random selectors full of the grammar's specials.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "case_name.hpp"
#include "vornex/frontend/selector.hpp"

namespace {

using namespace vornex;
using namespace vornex::frontend;
using Labels = std::vector<core::SecretLabelV1>;

core::SecretSelectorV1 sel(std::vector<std::string> path, Labels labels = {}) {
  return core::SecretSelectorV1{std::move(path), std::move(labels)};
}

struct Parses {
  const char* text;
  core::SecretSelectorV1 expected;
  const char* canonical;
};

void PrintTo(const Parses& c, std::ostream* out) { *out << c.text; }

class SelectorParses : public ::testing::TestWithParam<Parses> {};

TEST_P(SelectorParses, ToTheSelectorAndItsCanonicalText) {
  const Parses& c = GetParam();
  const auto parsed = parse_secret_selector(c.text);
  ASSERT_TRUE(parsed.has_value()) << c.text << ": " << parsed.error().message();
  EXPECT_EQ(*parsed, c.expected) << c.text;
  EXPECT_EQ(selector_string(*parsed), c.canonical) << c.text;
  // The canonical text is a fixed point.
  EXPECT_EQ(selector_string(*parse_secret_selector(c.canonical)), c.canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SelectorParses,
    ::testing::Values(
        Parses{"app/db/password", sel({"app", "db", "password"}), "app/db/password"},
        Parses{"app@env=prod&region=eu", sel({"app"}, {{"env", "prod"}, {"region", "eu"}}), "app@env=prod&region=eu"},
        Parses{"app@region=eu&env=prod", sel({"app"}, {{"env", "prod"}, {"region", "eu"}}), "app@env=prod&region=eu"},
        Parses{"\"a/b\"/c", sel({"a/b", "c"}), "\"a/b\"/c"},
        Parses{"a\\/b", sel({"a/b"}), "\"a/b\""},
        Parses{"\"a\\\"b\"", sel({"a\"b"}), "\"a\\\"b\""},
        Parses{"a\"\"b", sel({"ab"}), "ab"},  // quoting may start mid-word
        Parses{"app@k=v=w", sel({"app"}, {{"k", "v=w"}}), "app@k=\"v=w\""},
        Parses{"app@k=v@w", sel({"app"}, {{"k", "v@w"}}), "app@k=\"v@w\""},
        Parses{"a\\@k=v", sel({"a@k=v"}), "\"a@k=v\""},
        Parses{" a b /\tc", sel({" a b ", "\tc"}), " a b /\tc"},  // nothing is trimmed
        Parses{"x!y", sel({"x!y"}), "\"x!y\""},
        Parses{"a\\\\b", sel({"a\\b"}), "\"a\\\\b\""},
        Parses{"caf\u00e9/\u65e5\u672c", sel({"caf\u00e9", "\u65e5\u672c"}), "caf\u00e9/\u65e5\u672c"},
        Parses{"a@\"&\"=\"=\"", sel({"a"}, {{"&", "="}}), "a@\"&\"=\"=\""},
        Parses{"a@b=2&a=1", sel({"a"}, {{"a", "1"}, {"b", "2"}}), "a@a=1&b=2"}),
    [](const auto& info) { return test::case_name(info.index, info.param.text); });

TEST(SelectorText, DecomposedTextComesOutComposed) {
  // e + combining acute, in a segment, a key and a value.
  const auto parsed = parse_secret_selector("cafe\u0301@ke\u0301y=ve\u0301");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, sel({"caf\u00e9"}, {{"k\u00e9y", "v\u00e9"}}));
  // Two spellings of one key are one key.
  const auto twice = parse_secret_selector("a@\u00e9=1&e\u0301=2");
  ASSERT_FALSE(twice.has_value());
  EXPECT_NE(twice.error().message().find(kSelectorDuplicateKey), std::string::npos);
}

struct Refusal {
  const char* text;
  std::string_view reason;
};

void PrintTo(const Refusal& c, std::ostream* out) { *out << c.text; }

class SelectorRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(SelectorRefuses, WithTheFirstFaultAndTheWholeInputQuoted) {
  const Refusal& c = GetParam();
  const auto parsed = parse_secret_selector(c.text);
  ASSERT_FALSE(parsed.has_value()) << c.text;
  EXPECT_EQ(parsed.error().kind(), FrontendError::Kind::InvalidSelector);
  EXPECT_EQ(parsed.error().message(), "invalid selector " + quoted_form(c.text) + ": " + std::string(c.reason));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SelectorRefuses,
    ::testing::Values(Refusal{"", kSelectorEmpty}, Refusal{"@k=v", kSelectorEmpty},
                      Refusal{"a//b", kSelectorEmptySegment}, Refusal{"/a", kSelectorEmptySegment},
                      Refusal{"a/", kSelectorEmptySegment}, Refusal{"a/\"\"", kSelectorEmptySegment},
                      Refusal{"a@", kSelectorLabelPairs}, Refusal{"a@k", kSelectorLabelPairs},
                      Refusal{"a@k=v&", kSelectorLabelPairs}, Refusal{"a@=v", kSelectorEmptyLabel},
                      Refusal{"a@k=", kSelectorEmptyLabel}, Refusal{"a@k=1&k=1", kSelectorDuplicateKey},
                      Refusal{"a@k=1&k=2", kSelectorDuplicateKey}, Refusal{"\"a", kSelectorUnterminatedQuote},
                      Refusal{"a\\", kSelectorDanglingEscape},
                      // Precedence: path before labels, an earlier piece
                      // before a later one, decoding before emptiness.
                      Refusal{"a//b@k", kSelectorEmptySegment}, Refusal{"\"a//b", kSelectorUnterminatedQuote},
                      Refusal{"a/\"b/\"c\\", kSelectorDanglingEscape},
                      Refusal{"a@k&=v", kSelectorLabelPairs}, Refusal{"a@=\"v", kSelectorUnterminatedQuote},
                      Refusal{"a@k=1&=2&k=3", kSelectorEmptyLabel}),
    [](const auto& info) { return test::case_name(info.index, info.param.text); });

TEST(SelectorText, ErrorTextQuotesTheWholeInput) {
  EXPECT_EQ(parse_secret_selector("a//b").error().message(),
            "invalid selector \"a//b\": selector path must not contain empty segments");
  EXPECT_EQ(parse_secret_selector("q\"\n\\").error().message(),
            "invalid selector \"q\\\"\\n\\\\\": selector ends with a dangling backslash escape");
}

TEST(SelectorText, SplittersAndEscapes) {
  EXPECT_EQ(split_unquoted("", '/'), (std::vector<std::string_view>{""}));
  EXPECT_EQ(split_unquoted("/a/", '/'), (std::vector<std::string_view>{"", "a", ""}));
  EXPECT_EQ(split_unquoted("a\"/\"b\\/c/d", '/'), (std::vector<std::string_view>{"a\"/\"b\\/c", "d"}));
  EXPECT_FALSE(split_once_unquoted("a\\@b", '@').has_value());
  const auto split = split_once_unquoted("a@b@c", '@');
  ASSERT_TRUE(split.has_value());
  EXPECT_EQ(split->first, "a");
  EXPECT_EQ(split->second, "b@c");
  EXPECT_EQ(escape_segment(""), "\"\"");
  EXPECT_EQ(escape_segment("plain text\t\u00e9"), "plain text\t\u00e9");
  // The canonical text of an empty segment does not parse back.
  EXPECT_FALSE(parse_secret_selector(selector_string(sel({""}))).has_value());
}

// Any selector with non-empty parts and unique keys survives its canonical
// text, whatever specials, quotes, backslashes and non-ASCII it holds.
TEST(SelectorText, RandomRoundTrips) {
  const std::vector<std::string> alphabet{"a", "Z", "0", " ", "!", "\"", "&", "/", "=", "@", "\\",
                                          "\u00e9", "\u2603", "\t", "-", "."};
  std::mt19937 rng(20261207);
  const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  const auto word = [&] {
    std::string out;
    for (std::size_t i = 0, n = 1 + pick(6); i < n; ++i) out += alphabet[pick(alphabet.size())];
    return out;
  };
  for (int round = 0; round < 3000; ++round) {
    core::SecretSelectorV1 s;
    for (std::size_t i = 0, n = 1 + pick(4); i < n; ++i) s.tuple.push_back(word());
    std::vector<std::string> keys;
    for (std::size_t i = 0, n = pick(4); i < n; ++i) keys.push_back(word());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (const std::string& key : keys) s.labels.push_back({key, word()});
    const std::string text = selector_string(s);
    const auto back = parse_secret_selector(text);
    ASSERT_TRUE(back.has_value()) << text << ": " << back.error().message();
    ASSERT_EQ(*back, s) << text;
  }
}

}  // namespace
