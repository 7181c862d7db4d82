#include "vornex/crypto/ed25519.hpp"

#include <sodium.h>

#include <stdexcept>

#include "sodium.hpp"
#include "vornex/crypto/transcript.hpp"

namespace vornex::crypto {

static_assert(crypto_sign_SEEDBYTES == kEd25519SeedSize && crypto_sign_PUBLICKEYBYTES == kEd25519PublicKeySize);
static_assert(crypto_sign_BYTES == kEd25519SignatureSize && crypto_sign_SECRETKEYBYTES == 64);

SigningKeypair SigningKeypair::from_seed(std::span<const std::uint8_t, kEd25519SeedSize> seed) {
  detail::ensure_sodium();
  SigningKeypair pair;
  // libsodium hashes and clamps the seed in the secret-key buffer, takes
  // the public key, then overwrites that expansion with seed and public
  // key: the expanded scalar does not outlive the call.
  if (crypto_sign_seed_keypair(pair.public_key_.data(), pair.secret_key_.data(), seed.data()) != 0) {
    throw std::runtime_error("Ed25519 key generation failed");
  }
  return pair;
}

cord::Bytes SigningKeypair::sign(cord::ByteView domain, cord::ByteView message) const {
  detail::ensure_sodium();
  const cord::Bytes transcript = signature_transcript(domain, message);
  cord::Bytes signature(kEd25519SignatureSize);
  // libsodium wipes its expanded key and nonce before returning.
  if (crypto_sign_detached(signature.data(), nullptr, transcript.data(), transcript.size(), secret_key_.data()) != 0) {
    throw std::runtime_error("signature operation failed");
  }
  return signature;
}

bool ed25519_verify_raw(cord::ByteView public_key, cord::ByteView message, cord::ByteView signature) noexcept {
  // The C call reads exactly 32 and 64 bytes; anything else is refused
  // before it gets there.
  if (public_key.size() != kEd25519PublicKeySize || signature.size() != kEd25519SignatureSize) return false;
  try {
    detail::ensure_sodium();
  } catch (...) {
    return false;
  }
  // crypto_sign_verify_detached is the strict check we need: S must be
  // below the group order; R and the public key must not be of small
  // order; the key must decode to a curve point; the equation is checked
  // without the cofactor and compared on R's encoding, so a non-canonical
  // R fails. It also refuses a non-canonical encoding of the public key;
  // that loses nothing: such encodings exist only for points whose y is
  // below 19, of small order or of a scalar no one knows, so no signer can
  // hold a key written that way.
  return crypto_sign_verify_detached(signature.data(), message.data(), message.size(), public_key.data()) == 0;
}

}  // namespace vornex::crypto
