// NFC as the normalisation library computes it, in linear time: the
// library decomposes each character and composes the result, and the
// canonical ordering between the two is ours (canonical_order.hpp).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <utf8proc.h>

#include "canonical_order.hpp"
#include "cord/text.hpp"
#include "cord/work.hpp"

namespace cord::text {

namespace {

constexpr auto kNfc = static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE);
// Room for one character's canonical decomposition: the longest is four.
constexpr std::size_t kDecompositionRoom = 8;

using CodePoints = std::vector<utf8proc_int32_t>;

// Each character's canonical decomposition in turn, marks not yet ordered
// across characters; nothing for text that is not UTF-8.
std::optional<CodePoints> decompose(std::string_view s) {
  CodePoints out;
  out.reserve(s.size() + 1);
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
  auto left = static_cast<utf8proc_ssize_t>(s.size());
  while (left > 0) {
    utf8proc_int32_t code_point = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(p, left, &code_point);
    if (used < 0) return std::nullopt;
    p += used;
    left -= used;
    const std::size_t at = out.size();
    out.resize(at + kDecompositionRoom);
    utf8proc_ssize_t n = utf8proc_decompose_char(code_point, out.data() + at, kDecompositionRoom, kNfc, nullptr);
    if (n > static_cast<utf8proc_ssize_t>(kDecompositionRoom)) {
      out.resize(at + static_cast<std::size_t>(n));
      n = utf8proc_decompose_char(code_point, out.data() + at, n, kNfc, nullptr);
    }
    if (n < 0) return std::nullopt;
    out.resize(at + static_cast<std::size_t>(n));
  }
  return out;
}

// Whether the classes of the marks in each run ascend. NFC text passes:
// composition makes starters only, takes marks out of runs already in
// order and never joins two runs, so text that fails is not NFC, whatever
// its characters decompose to, and the first mark out of order ends the
// look. The text is UTF-8 (the caller's check), so each character is read
// by its lead byte; a sequence cut short ends the look, out of bounds of
// nothing.
bool marks_ascend(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* const end = p + s.size();
  unsigned previous = 0;
  std::uint64_t steps = 0;
  bool ascend = true;
  while (p < end) {
    ++steps;
    const unsigned lead = *p;
    if (lead < 0x80) {  // ASCII: a starter
      previous = 0;
      ++p;
      continue;
    }
    const std::size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (static_cast<std::size_t>(end - p) < len) break;
    auto code_point = static_cast<utf8proc_int32_t>(lead & (0x7F >> len));
    for (std::size_t i = 1; i < len; ++i) code_point = (code_point << 6) | (p[i] & 0x3F);
    p += len;
    const unsigned cls = utf8proc_get_property(code_point)->combining_class;
    if (cls != 0 && cls < previous) {
      ascend = false;
      break;
    }
    previous = cls;
  }
  count_work(steps);
  return ascend;
}

}  // namespace

std::string to_nfc(std::string_view s) {
  std::optional<CodePoints> code_points = decompose(s);
  // Only invalid UTF-8 fails, which callers have ruled out; it comes back
  // as given, as the library hands it back.
  if (!code_points) return std::string(s);
  const std::size_t n = code_points->size();
  const std::uint64_t steps = detail::order_marks(*code_points);
  // The library writes the UTF-8 over the code points it has read, then a
  // NUL one byte past: room for one more.
  code_points->push_back(0);
  const utf8proc_ssize_t len = utf8proc_reencode(code_points->data(), static_cast<utf8proc_ssize_t>(n), kNfc);
  count_work(steps + n);
  if (len < 0) return std::string(s);
  return std::string(reinterpret_cast<const char*>(code_points->data()), static_cast<std::size_t>(len));
}

bool is_nfc(std::string_view s) { return is_ascii(s) || (marks_ascend(s) && to_nfc(s) == s); }

std::string_view normalize_nfc(std::string_view s, std::string& storage) {
  if (is_ascii(s)) return s;
  storage = to_nfc(s);
  if (storage == s) return s;
  return storage;
}

}  // namespace cord::text
