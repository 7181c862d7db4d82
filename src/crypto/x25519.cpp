#include "vornex/crypto/x25519.hpp"

#include <sodium.h>

#include <stdexcept>

#include "sodium.hpp"

namespace vornex::crypto {

static_assert(crypto_scalarmult_BYTES == kX25519KeySize && crypto_scalarmult_SCALARBYTES == kX25519KeySize);

X25519PublicKey x25519_public_key(const X25519PrivateKey& private_key) {
  detail::ensure_sodium();
  X25519PublicKey public_key{};
  // Cannot fail for a clamped scalar; a failure means a broken library.
  if (crypto_scalarmult_base(public_key.data(), private_key.data()) != 0) {
    throw std::runtime_error("X25519 base-point multiplication failed");
  }
  return public_key;
}

bool x25519(cord::ByteView private_key, cord::ByteView public_key, SecretArray<kX25519KeySize>& shared) {
  detail::ensure_sodium();
  if (private_key.size() != kX25519KeySize || public_key.size() != kX25519KeySize) {
    shared.wipe();
    return false;
  }
  // libsodium answers -1 for an all-zero result (and for the listed
  // small-order inputs, which give one).
  if (crypto_scalarmult(shared.data(), private_key.data(), public_key.data()) != 0) {
    shared.wipe();
    return false;
  }
  return true;
}

}  // namespace vornex::crypto
