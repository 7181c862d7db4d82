// Secret byte strings: key material, master seeds and anything that held
// them. The storage is overwritten with zeros before it is released, and the
// type cannot be copied, so no forgotten duplicate outlives its owner.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cord/codec.hpp"

namespace vornex::core {

// Overwrites `size` bytes at `data` with zeros. The stores go through a
// volatile pointer, so the compiler may not drop them even when the memory
// is freed right afterwards.
void secure_wipe(void* data, std::size_t size) noexcept;

class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(cord::ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}

  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  // Moving hands the buffer over whole: nothing is copied, and the source
  // is left empty.
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      wipe();
      bytes_ = std::move(other.bytes_);
      other.bytes_.clear();
    }
    return *this;
  }

  ~SecretBytes() { wipe(); }

  cord::ByteView view() const { return bytes_; }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }

  // Overwrites every byte with zero; the size stays. The destructor and
  // every reassignment call it before the storage goes back to the heap.
  void wipe() noexcept { secure_wipe(bytes_.data(), bytes_.size()); }

  // A plain byte string on the wire.
  cord::Status cord_encode(cord::Serializer& s, cord::Hint hint) const { return cord::encode(s, bytes_, hint); }
  cord::Status cord_decode(cord::Deserializer& d, cord::Hint hint) {
    // Decoding into a fresh vector allocates once and never grows, so no
    // reallocation leaves an unwiped copy behind. Old contents go first.
    wipe();
    bytes_ = cord::Bytes();
    return cord::decode(d, bytes_, hint);
  }

 private:
  cord::Bytes bytes_;
};

}  // namespace vornex::core
