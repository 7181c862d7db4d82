#include "cord/wire.hpp"

#include <cstring>

#include "cord/text.hpp"

namespace cord {

int compare_bytes(ByteView a, ByteView b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  if (common != 0) {
    if (const int c = std::memcmp(a.data(), b.data(), common); c != 0) return c < 0 ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

namespace wire {

namespace {

constexpr std::uint64_t max_for(std::size_t bytes) {
  return bytes >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * bytes)) - 1;
}

}  // namespace

Status write_length(Bytes& out, std::uint64_t value, Width width) {
  const std::size_t n = width_bytes(width);
  if (value > max_for(n)) return fail(ErrorKind::WidthOverflow);
  for (std::size_t i = n; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return {};
}

Status write_variant_index(Bytes& out, std::uint32_t index, Width width) {
  return write_length(out, index, width);
}

std::uint8_t evolving_width(std::string_view name) {
  if (name == "__cord_evolving8" || name == "__cord_evolving8_raw") return static_cast<std::uint8_t>(Width::One);
  if (name == "__cord_evolving16" || name == "__cord_evolving16_raw") return static_cast<std::uint8_t>(Width::Two);
  if (name == kEvolving32Name || name == kEvolving32RawName) return static_cast<std::uint8_t>(Width::Four);
  return 4;
}

Result<std::uint32_t> read_variant_index(Cursor& in, Width width) {
  auto value = in.read_uint(width_bytes(width));
  if (!value) return fail(std::move(value).error());
  if (*value > 0xFFFF'FFFFu) return fail(ErrorKind::WidthOverflow);
  return static_cast<std::uint32_t>(*value);
}

Result<std::string_view> read_str(Cursor& in, Width width, std::uint64_t max) {
  auto len = read_length(in, width, max);
  if (!len) return fail(std::move(len).error());
  // Compared with what remains before anything is taken or allocated.
  if (*len > in.remaining()) return fail(ErrorKind::UnexpectedEof);
  auto raw = in.take(static_cast<std::size_t>(*len));
  if (!raw) return fail(std::move(raw).error());
  const std::string_view text(reinterpret_cast<const char*>(raw->data()), raw->size());
  if (!text::is_utf8(text)) return fail(ErrorKind::InvalidUtf8);
  if (!text::is_ascii(text) && !text::is_nfc(text)) return fail(ErrorKind::NotNfc);
  return text;
}

}  // namespace wire
}  // namespace cord
