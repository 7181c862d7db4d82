// ChaCha20-Poly1305 with a 96-bit nonce (RFC 8439) over libsodium: the
// cipher of sealed content and of HPKE.
#pragma once

#include <cstddef>
#include <optional>

#include "cord/wire.hpp"

namespace vornex::crypto {

inline constexpr std::size_t kAeadKeySize = 32;
inline constexpr std::size_t kAeadNonceSize = 12;
inline constexpr std::size_t kAeadTagSize = 16;

// Ciphertext followed by the 16-byte tag. Empty when the key or nonce has
// the wrong length or the plaintext is beyond the cipher's limit.
std::optional<cord::Bytes> aead_seal(cord::ByteView key, cord::ByteView nonce, cord::ByteView aad,
                                     cord::ByteView plaintext);

// The plaintext of ciphertext-with-tag. Empty on any length mismatch or
// when authentication fails; nothing unauthenticated is returned.
std::optional<cord::Bytes> aead_open(cord::ByteView key, cord::ByteView nonce, cord::ByteView aad,
                                     cord::ByteView ciphertext);

}  // namespace vornex::crypto
