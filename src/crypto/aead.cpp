#include "vornex/crypto/aead.hpp"

#include <sodium.h>

#include "sodium.hpp"
#include "vornex/crypto/secret_array.hpp"

namespace vornex::crypto {

static_assert(crypto_aead_chacha20poly1305_ietf_KEYBYTES == kAeadKeySize);
static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == kAeadNonceSize);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == kAeadTagSize);

std::optional<cord::Bytes> aead_seal(cord::ByteView key, cord::ByteView nonce, cord::ByteView aad,
                                     cord::ByteView plaintext) {
  detail::ensure_sodium();
  // libsodium aborts the process on an oversized message, so the limit is
  // checked here and reported as an ordinary failure.
  if (key.size() != kAeadKeySize || nonce.size() != kAeadNonceSize ||
      plaintext.size() > crypto_aead_chacha20poly1305_ietf_MESSAGEBYTES_MAX) {
    return std::nullopt;
  }
  cord::Bytes out(plaintext.size() + kAeadTagSize);
  unsigned long long written = 0;
  if (crypto_aead_chacha20poly1305_ietf_encrypt(out.data(), &written, plaintext.data(), plaintext.size(), aad.data(),
                                                aad.size(), nullptr, nonce.data(), key.data()) != 0 ||
      written != out.size()) {
    return std::nullopt;
  }
  return out;
}

std::optional<cord::Bytes> aead_open(cord::ByteView key, cord::ByteView nonce, cord::ByteView aad,
                                     cord::ByteView ciphertext) {
  detail::ensure_sodium();
  if (key.size() != kAeadKeySize || nonce.size() != kAeadNonceSize || ciphertext.size() < kAeadTagSize) {
    return std::nullopt;
  }
  // Exactly sized, so the caller can wipe every byte it ever held.
  cord::Bytes out(ciphertext.size() - kAeadTagSize);
  unsigned long long written = 0;
  // libsodium checks the tag before it decrypts anything.
  if (crypto_aead_chacha20poly1305_ietf_decrypt(out.data(), &written, nullptr, ciphertext.data(), ciphertext.size(),
                                                aad.data(), aad.size(), nonce.data(), key.data()) != 0 ||
      written != out.size()) {
    wipe_bytes(out.data(), out.size());
    return std::nullopt;
  }
  return out;
}

}  // namespace vornex::crypto
