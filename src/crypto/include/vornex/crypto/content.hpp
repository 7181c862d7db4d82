// The symmetric half of a sealed secret: a fresh content key and nonce per
// payload, and ChaCha20-Poly1305 over the content.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "cord/wire.hpp"
#include "vornex/core/error.hpp"
#include "vornex/crypto/aead.hpp"
#include "vornex/crypto/secret_array.hpp"

namespace vornex::crypto {

// 32 bytes; move-only and zeroed when dropped.
class ContentKey {
 public:
  static constexpr std::size_t kSize = kAeadKeySize;

  explicit ContentKey(std::span<const std::uint8_t, kSize> bytes) : bytes_(bytes) {}

  // A fresh random key.
  static ContentKey generate();

  std::span<const std::uint8_t, kSize> view() const { return bytes_.view(); }
  // Sets every byte to zero; the same as what dropping the key does.
  void zeroize() noexcept { bytes_.wipe(); }

 private:
  SecretArray<kSize> bytes_;
};

// 12 bytes. Drawn at random for every payload, never from a counter.
class ContentNonce {
 public:
  static constexpr std::size_t kSize = kAeadNonceSize;

  explicit ContentNonce(std::span<const std::uint8_t, kSize> bytes) {
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
  }

  static ContentNonce generate();

  std::span<const std::uint8_t, kSize> view() const { return bytes_; }
  cord::Bytes to_vec() const { return cord::Bytes(bytes_.begin(), bytes_.end()); }

 private:
  ContentNonce() = default;
  std::array<std::uint8_t, kSize> bytes_{};
};

// Ciphertext with the 16-byte tag appended. Fails with "AEAD operation
// failed" only for a plaintext beyond the cipher's limit.
core::CryptoResult<cord::Bytes> seal_content(const ContentKey& key, const ContentNonce& nonce, cord::ByteView aad,
                                             cord::ByteView plaintext);

// Fails with "AEAD operation failed" for a wrong key, nonce or aad, altered
// bytes, or input shorter than the tag.
core::CryptoResult<cord::Bytes> open_content(const ContentKey& key, const ContentNonce& nonce, cord::ByteView aad,
                                             cord::ByteView ciphertext);

}  // namespace vornex::crypto
