#include "cord/ser.hpp"

#include <string>

#include "cord/text.hpp"

namespace cord {

void Serializer::write_u32(std::uint32_t v) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                             static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  out_->insert(out_->end(), b, b + 4);
}

void Serializer::write_u64(std::uint64_t v) {
  std::uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
  out_->insert(out_->end(), b, b + 8);
}

Status Serializer::write_str(std::string_view s, Hint hint) {
  if (!text::is_utf8(s)) return fail(ErrorKind::InvalidUtf8);
  std::string storage;
  const std::string_view nfc = text::normalize_nfc(s, storage);
  if (auto st = write_length(nfc.size(), hint); !st) return st;
  write_raw(ByteView(reinterpret_cast<const std::uint8_t*>(nfc.data()), nfc.size()));
  return {};
}

}  // namespace cord
