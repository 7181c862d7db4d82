#include "cord/text.hpp"

#include <cstdint>
#include <cstring>

namespace cord::text {

bool is_ascii(std::string_view s) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  const char* p = s.data();
  std::size_t n = s.size();
  // A word at a time; memcpy keeps unaligned loads defined.
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if ((word & kHighBits) != 0) return false;
  }
  for (; n > 0; ++p, --n) {
    if ((static_cast<unsigned char>(*p) & 0x80) != 0) return false;
  }
  return true;
}

bool is_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // Two bytes from C2 on: never overlong, never a surrogate, never past
    // U+10FFFF, so only the continuation byte is checked.
    if (c >= 0xC2 && c <= 0xDF) {
      if (end - p < 2 || (p[1] & 0xC0) != 0x80) return false;
      p += 2;
      continue;
    }
    std::size_t extra;
    std::uint32_t cp;
    std::uint32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= extra) return false;
    for (std::size_t i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

}  // namespace cord::text
