// Byte-level primitives shared by the encoder and the decoder: prefix
// widths, width hints, big-endian prefixes and the bounds-checked cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "cord/error.hpp"

namespace cord {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Decoding limits of every decoder unless a caller asks for more.
inline constexpr std::uint64_t kMaxLength = 16'777'216;
inline constexpr std::uint32_t kMaxDepth = 128;

struct Limits {
  std::uint64_t max_length = kMaxLength;
  std::uint32_t max_depth = kMaxDepth;
};

// A pending width hint: the newtype name that set it decides the width of
// the first prefix written or read below it.
enum class Hint : std::uint8_t { None = 0, Varint = 1, Width8 = 2, Width16 = 3, Width64 = 4 };

// Prefix width codes: 1, 2, 4 and 8 bytes.
enum class Width : std::uint8_t { One = 0, Two = 1, Four = 2, Eight = 3 };

// The width selected by a hint: byte h of the constant 0x0301000202.
constexpr Width width_of(Hint hint) {
  constexpr std::uint64_t kHintWidths = 0x0301000202;
  return static_cast<Width>((kHintWidths >> (8 * static_cast<unsigned>(hint))) & 0xFF);
}

constexpr std::size_t width_bytes(Width width) {
  return width >= Width::Eight ? 8 : std::size_t{1} << static_cast<unsigned>(width);
}

// Special newtype names of the format.
inline constexpr std::string_view kSetName = "__cord_set";
inline constexpr std::string_view kUuidName = "__cord_uuid";
inline constexpr std::string_view kVarintName = "__cord_varint";
inline constexpr std::string_view kWidth8Name = "__cord_width8";
inline constexpr std::string_view kWidth16Name = "__cord_width16";
inline constexpr std::string_view kWidth64Name = "__cord_width64";
inline constexpr std::string_view kEvolving32Name = "__cord_evolving32";
inline constexpr std::string_view kEvolving32RawName = "__cord_evolving32_raw";

inline constexpr std::string_view kConflictingSentinels =
    "Conflicting sentinel nesting: cannot combine width/varint wrappers";

// Strict byte order of encodings: unsigned bytes, a proper prefix first.
int compare_bytes(ByteView a, ByteView b);

// The bytes of a text as they stand (no normalisation).
inline ByteView text_bytes(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

namespace wire {

// Appends v big-endian in the given width; WidthOverflow (nothing appended)
// when it does not fit.
Status write_length(Bytes& out, std::uint64_t value, Width width);
Status write_variant_index(Bytes& out, std::uint32_t index, Width width);

// The payload length width of an evolving name (Width::One, Two or Four, for
// the plain and "_raw" forms alike), or 4 for a name that is not one.
std::uint8_t evolving_width(std::string_view name);

// A bounds-checked read position over borrowed bytes.
class Cursor {
 public:
  explicit Cursor(ByteView input) : data_(input.data()), remaining_(input.size()), start_(input.data()) {}

  std::size_t remaining() const { return remaining_; }
  std::size_t position() const { return static_cast<std::size_t>(data_ - start_); }
  const std::uint8_t* data() const { return data_; }

  Result<ByteView> take(std::size_t n) {
    if (n > remaining_) [[unlikely]] return fail_cold(ErrorKind::UnexpectedEof);
    ByteView out(data_, n);
    data_ += n;
    remaining_ -= n;
    return out;
  }

  Result<std::uint8_t> next() {
    if (remaining_ == 0) return fail(ErrorKind::UnexpectedEof);
    --remaining_;
    return *data_++;
  }

  // Big-endian, `bytes` at most 8. Inline: every length and count of a
  // decode comes through here.
  Result<std::uint64_t> read_uint(std::size_t bytes) {
    if (bytes > remaining_) [[unlikely]] return fail_cold(ErrorKind::UnexpectedEof);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | data_[i];
    data_ += bytes;
    remaining_ -= bytes;
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t remaining_;
  const std::uint8_t* start_;
};

// A length or count in the given width, at most `max`.
inline Result<std::uint64_t> read_length(Cursor& in, Width width, std::uint64_t max) {
  auto value = in.read_uint(width_bytes(width));
  if (value && *value > max) [[unlikely]] return fail_length_limit(*value, max);
  return value;
}
// A variant index in the given width; 8-byte indices must fit 32 bits.
Result<std::uint32_t> read_variant_index(Cursor& in, Width width);
// A length-prefixed string, valid UTF-8 and already NFC; borrows the input.
Result<std::string_view> read_str(Cursor& in, Width width, std::uint64_t max);

}  // namespace wire
}  // namespace cord
