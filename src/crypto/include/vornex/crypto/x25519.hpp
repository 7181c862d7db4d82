// X25519 (RFC 7748) over libsodium: the Diffie-Hellman of the HPKE KEM.
#pragma once

#include <array>
#include <cstdint>

#include "cord/wire.hpp"
#include "vornex/crypto/secret_array.hpp"

namespace vornex::crypto {

inline constexpr std::size_t kX25519KeySize = 32;

using X25519PrivateKey = SecretArray<kX25519KeySize>;
using X25519PublicKey = std::array<std::uint8_t, kX25519KeySize>;

// A KEM key pair: the private scalar (clamped only when used) and its
// public key.
struct X25519KeyPair {
  X25519PrivateKey private_key;
  X25519PublicKey public_key{};
};

// The public key of a private scalar.
X25519PublicKey x25519_public_key(const X25519PrivateKey& private_key);

// `shared` = X25519(private_key, public_key). False, with `shared` zeroed,
// when either input is not 32 bytes or the result is all zeros (a peer key
// of small order, which would make the secret public).
[[nodiscard]] bool x25519(cord::ByteView private_key, cord::ByteView public_key, SecretArray<kX25519KeySize>& shared);

}  // namespace vornex::crypto
