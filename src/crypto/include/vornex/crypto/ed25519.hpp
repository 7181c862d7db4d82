// Ed25519 (RFC 8032, pure, deterministic) over libsodium. Signing always
// covers a signature transcript (transcript.hpp), so no key of this system
// ever signs bytes without a domain in front.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "cord/wire.hpp"
#include "vornex/crypto/secret_array.hpp"

namespace vornex::crypto {

inline constexpr std::size_t kEd25519SeedSize = 32;
inline constexpr std::size_t kEd25519PublicKeySize = 32;
inline constexpr std::size_t kEd25519SignatureSize = 64;

class SigningKeypair {
 public:
  // The RFC 8032 key pair whose 32-byte private key is `seed`.
  static SigningKeypair from_seed(std::span<const std::uint8_t, kEd25519SeedSize> seed);

  const std::array<std::uint8_t, kEd25519PublicKeySize>& public_key() const { return public_key_; }

  // Ed25519 over the signature transcript of (domain, message): 64 bytes,
  // R then S. Throws std::runtime_error("signature operation failed") if
  // the primitive reports an error, which it does not for a valid key.
  cord::Bytes sign(cord::ByteView domain, cord::ByteView message) const;

 private:
  SigningKeypair() = default;

  // libsodium's form of the secret key: the seed, then the public key.
  SecretArray<64> secret_key_;
  std::array<std::uint8_t, kEd25519PublicKeySize> public_key_{};
};

// Strict verification of `signature` by `public_key` over `message` as
// given (the provider passes the transcript). False for any length
// mismatch or failed check; never throws.
bool ed25519_verify_raw(cord::ByteView public_key, cord::ByteView message, cord::ByteView signature) noexcept;

}  // namespace vornex::crypto
