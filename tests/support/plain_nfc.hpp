// NFC the plain way, the normalisation library's own map: the reference the
// linear normalisation must match byte for byte. Its canonical ordering
// exchanges neighbours, so a long run of marks out of order costs the
// square of its length: for short texts only.
#pragma once

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include <utf8proc.h>

namespace vornex::test {

inline std::string plain_to_nfc(std::string_view s) {
  utf8proc_uint8_t* out = nullptr;
  const auto len = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                                static_cast<utf8proc_ssize_t>(s.size()), &out,
                                static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (len == UTF8PROC_ERROR_NOMEM) throw std::bad_alloc();
  std::string result =
      len < 0 ? std::string(s) : std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(len));
  std::free(out);
  return result;
}

inline bool plain_is_nfc(std::string_view s) { return plain_to_nfc(s) == s; }

}  // namespace vornex::test
