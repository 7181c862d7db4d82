// Unicode text checks and NFC normalisation. Every call takes an explicit
// length: U+0000 is valid text and must not end a string.
#pragma once

#include <string>
#include <string_view>

namespace cord::text {

bool is_ascii(std::string_view s);
// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view s);
// Whether valid UTF-8 text is already in NFC.
bool is_nfc(std::string_view s);
// The NFC form of valid UTF-8 text.
std::string to_nfc(std::string_view s);
// The text itself when it is empty, ASCII or already NFC; otherwise its NFC
// form, held in `storage`. The input must be valid UTF-8.
std::string_view normalize_nfc(std::string_view s, std::string& storage);

}  // namespace cord::text
