#include "vornex/frontend/selector.hpp"

#include <algorithm>

#include "cord/text.hpp"

namespace vornex::frontend {

namespace {

constexpr std::string_view kSpecials = "!\"&/=@\\";

// The length of the UTF-8 character starting at `i` (1 for a stray byte),
// so that the scanners step over whole characters as the grammar reads them.
std::size_t char_length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t n = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
  return std::min(n, text.size() - i);
}

// Calls `at(position)` for every character that is outside a quoted span
// and not escaped, until it returns true.
template <class At>
void scan(std::string_view text, At at) {
  bool quoted = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); i += char_length(text, i)) {
    const char c = text[i];
    if (escaped) {
      escaped = false;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\') {
      escaped = true;
    } else if (!quoted && at(i)) {
      return;
    }
  }
}

FrontendError invalid(std::string_view input, std::string_view reason) {
  return FrontendError::invalid_selector(std::string(input), std::string(reason));
}

// The piece without its quoting and escapes, in NFC.
FrontendResult<std::string> decode_field(std::string_view piece, std::string_view input) {
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < piece.size();) {
    const char c = piece[i];
    if (c == '"') {
      quoted = !quoted;
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= piece.size()) return std::unexpected(invalid(input, kSelectorDanglingEscape));
      const std::size_t n = char_length(piece, i + 1);
      out.append(piece.substr(i + 1, n));
      i += 1 + n;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  if (quoted) return std::unexpected(invalid(input, kSelectorUnterminatedQuote));
  return cord::text::to_nfc(out);
}

FrontendResult<std::vector<std::string>> parse_tuple_path(std::string_view input, std::string_view path) {
  if (path.empty()) return std::unexpected(invalid(input, kSelectorEmpty));
  std::vector<std::string> segments;
  for (const std::string_view piece : split_unquoted(path, '/')) {
    auto segment = decode_field(piece, input);
    if (!segment) return std::unexpected(std::move(segment).error());
    if (segment->empty()) return std::unexpected(invalid(input, kSelectorEmptySegment));
    segments.push_back(std::move(*segment));
  }
  return segments;
}

}  // namespace

std::optional<std::pair<std::string_view, std::string_view>> split_once_unquoted(std::string_view text, char separator) {
  std::optional<std::pair<std::string_view, std::string_view>> out;
  scan(text, [&](std::size_t i) {
    if (text[i] != separator) return false;
    out.emplace(text.substr(0, i), text.substr(i + 1));
    return true;
  });
  return out;
}

std::vector<std::string_view> split_unquoted(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  scan(text, [&](std::size_t i) {
    if (text[i] == separator) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
    return false;
  });
  pieces.push_back(text.substr(start));
  return pieces;
}

std::string escape_segment(std::string_view text) {
  if (text.empty()) return "\"\"";
  if (text.find_first_of(kSpecials) == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

FrontendResult<core::SecretSelectorV1> parse_secret_selector(std::string_view text) {
  std::string_view path = text;
  std::optional<std::string_view> label_text;
  if (const auto split = split_once_unquoted(text, '@')) {
    path = split->first;
    label_text = split->second;
  }
  auto segments = parse_tuple_path(text, path);
  if (!segments) return std::unexpected(std::move(segments).error());

  std::vector<core::SecretLabelV1> labels;
  if (label_text) {
    for (const std::string_view piece : split_unquoted(*label_text, '&')) {
      const auto pair = split_once_unquoted(piece, '=');
      if (!pair) return std::unexpected(invalid(text, kSelectorLabelPairs));
      auto key = decode_field(pair->first, text);
      if (!key) return std::unexpected(std::move(key).error());
      auto value = decode_field(pair->second, text);
      if (!value) return std::unexpected(std::move(value).error());
      if (key->empty() || value->empty()) return std::unexpected(invalid(text, kSelectorEmptyLabel));
      labels.push_back(core::SecretLabelV1{std::move(*key), std::move(*value)});
    }
  }
  std::sort(labels.begin(), labels.end(), [](const core::SecretLabelV1& a, const core::SecretLabelV1& b) {
    return a.key != b.key ? a.key < b.key : a.value < b.value;
  });
  const auto repeated = std::adjacent_find(labels.begin(), labels.end(),
                                           [](const auto& a, const auto& b) { return a.key == b.key; });
  if (repeated != labels.end()) return std::unexpected(invalid(text, kSelectorDuplicateKey));
  return core::SecretSelectorV1{std::move(*segments), std::move(labels)};
}

std::string selector_string(const core::SecretSelectorV1& selector) {
  std::string out;
  for (std::size_t i = 0; i < selector.tuple.size(); ++i) {
    if (i > 0) out += '/';
    out += escape_segment(selector.tuple[i]);
  }
  for (std::size_t i = 0; i < selector.labels.size(); ++i) {
    out += i == 0 ? '@' : '&';
    out += escape_segment(selector.labels[i].key);
    out += '=';
    out += escape_segment(selector.labels[i].value);
  }
  return out;
}

}  // namespace vornex::frontend
