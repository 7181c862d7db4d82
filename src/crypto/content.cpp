#include "vornex/crypto/content.hpp"

#include <utility>

#include "vornex/crypto/random.hpp"

namespace vornex::crypto {

ContentKey ContentKey::generate() {
  SecretArray<kSize> bytes;
  fill_random(bytes.span());
  return ContentKey(bytes.view());
}

ContentNonce ContentNonce::generate() {
  ContentNonce nonce;
  fill_random(nonce.bytes_);
  return nonce;
}

// The key is handed to the cipher in place rather than copied, so no
// second copy exists that would need wiping.
core::CryptoResult<cord::Bytes> seal_content(const ContentKey& key, const ContentNonce& nonce, cord::ByteView aad,
                                             cord::ByteView plaintext) {
  auto sealed = aead_seal(key.view(), nonce.view(), aad, plaintext);
  if (!sealed) return std::unexpected(core::CryptoError::aead());
  return std::move(*sealed);
}

core::CryptoResult<cord::Bytes> open_content(const ContentKey& key, const ContentNonce& nonce, cord::ByteView aad,
                                             cord::ByteView ciphertext) {
  auto opened = aead_open(key.view(), nonce.view(), aad, ciphertext);
  if (!opened) return std::unexpected(core::CryptoError::aead());
  return std::move(*opened);
}

}  // namespace vornex::crypto
