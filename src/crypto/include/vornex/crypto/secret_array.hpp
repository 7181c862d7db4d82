// Fixed-size secret material (keys, nonces, PRKs, shared secrets): held
// inline, never copied, and overwritten with zeros when dropped or moved
// from, so no stale duplicate stays in memory.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vornex::crypto {

// Overwrites `size` bytes with zeros in a way the compiler cannot drop.
void wipe_bytes(void* data, std::size_t size) noexcept;

template <std::size_t N>
class SecretArray {
 public:
  static constexpr std::size_t kSize = N;

  SecretArray() = default;
  explicit SecretArray(std::span<const std::uint8_t, N> bytes) {
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
  }

  SecretArray(const SecretArray&) = delete;
  SecretArray& operator=(const SecretArray&) = delete;

  SecretArray(SecretArray&& other) noexcept : bytes_(other.bytes_) { other.wipe(); }
  SecretArray& operator=(SecretArray&& other) noexcept {
    if (this != &other) {
      bytes_ = other.bytes_;
      other.wipe();
    }
    return *this;
  }

  ~SecretArray() { wipe(); }

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  static constexpr std::size_t size() { return N; }
  std::span<std::uint8_t, N> span() { return bytes_; }
  std::span<const std::uint8_t, N> view() const { return bytes_; }

  void wipe() noexcept { wipe_bytes(bytes_.data(), N); }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

}  // namespace vornex::crypto
