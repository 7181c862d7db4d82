// Selector text: the parser that turns text into a secret's selector, and
// the one canonical text of a selector. "/" separates path segments, the
// first "@" the labels, "&" one label from the next, the first "=" a key
// from its value; double quotes quote, a backslash escapes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vornex/core/selector.hpp"
#include "vornex/frontend/error.hpp"

namespace vornex::frontend {

inline constexpr std::string_view kSelectorEmpty = "selector must not be empty";
inline constexpr std::string_view kSelectorEmptySegment = "selector path must not contain empty segments";
inline constexpr std::string_view kSelectorLabelPairs = "secret labels are @key=value pairs separated by &";
inline constexpr std::string_view kSelectorEmptyLabel = "label keys and values must not be empty";
inline constexpr std::string_view kSelectorDuplicateKey = "a label key may appear only once";
inline constexpr std::string_view kSelectorUnterminatedQuote = "selector has an unterminated quote";
inline constexpr std::string_view kSelectorDanglingEscape = "selector ends with a dangling backslash escape";

// Segments, label keys and values come out in NFC, before labels are
// sorted and compared, so that one name is one name whatever its spelling.
FrontendResult<core::SecretSelectorV1> parse_secret_selector(std::string_view text);
std::string selector_string(const core::SecretSelectorV1& selector);

// The pieces, exposed for their own tests.
std::optional<std::pair<std::string_view, std::string_view>> split_once_unquoted(std::string_view text, char separator);
std::vector<std::string_view> split_unquoted(std::string_view text, char separator);
std::string escape_segment(std::string_view text);

}  // namespace vornex::frontend
