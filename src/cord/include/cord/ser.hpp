// The encoder's state: an output vector owned by the caller and the length
// limit of the decoder that will read it back. The pending width hint is not
// state here: it is passed down as a parameter, consumed by the first prefix
// written below it.
#pragma once

#include <cstdint>
#include <string_view>

#include "cord/error.hpp"
#include "cord/wire.hpp"

namespace cord {

class Serializer {
 public:
  // A length or count above `max_length` is refused, so nothing is written
  // that a decoder with the same limit would reject.
  explicit Serializer(Bytes& out, std::uint64_t max_length = kMaxLength) : out_(&out), max_length_(max_length) {}

  Bytes& out() { return *out_; }
  std::uint64_t max_length() const { return max_length_; }

  void write_u8(std::uint8_t v) { out_->push_back(v); }
  void write_u32(std::uint32_t v);
  void write_u64(std::uint64_t v);
  void write_raw(ByteView bytes) { out_->insert(out_->end(), bytes.begin(), bytes.end()); }

  Status write_length(std::uint64_t n, Hint hint) {
    if (n > max_length_) return fail(CordError::length_limit(n, max_length_));
    return wire::write_length(*out_, n, width_of(hint));
  }
  Status write_variant_index(std::uint32_t index, Hint hint) {
    return wire::write_variant_index(*out_, index, width_of(hint));
  }
  // Writes the NFC form of the text; text that is not valid UTF-8 is refused
  // rather than written in a form no decoder accepts.
  Status write_str(std::string_view s, Hint hint);

 private:
  Bytes* out_;
  std::uint64_t max_length_;
};

}  // namespace cord
