// HPKE (RFC 9180), base mode, single shot, for the one suite this system
// uses: DHKEM(X25519, HKDF-SHA256), HKDF-SHA256, ChaCha20-Poly1305. A thin
// layer over X25519, HKDF and the AEAD. The ephemeral key is a parameter
// here so that published vectors can be replayed; wrap.hpp draws it fresh.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "cord/wire.hpp"
#include "vornex/core/error.hpp"
#include "vornex/crypto/aead.hpp"
#include "vornex/crypto/x25519.hpp"

namespace vornex::crypto::hpke {

inline constexpr std::size_t kEncapsulatedKeySize = kX25519KeySize;
inline constexpr std::size_t kSharedSecretSize = 32;

// The layer's own failure descriptions.
inline constexpr const char* kEncapsulationFailed = "Encapsulation failed";
inline constexpr const char* kDecapsulationFailed = "Decapsulation failed";
inline constexpr const char* kOpenFailed = "Failed to open ciphertext";
inline constexpr const char* kSealFailed = "Failed to seal plaintext";

using SharedSecret = SecretArray<kSharedSecretSize>;

// DeriveKeyPair of the KEM (RFC 9180 section 7.1.3). Fails with "invalid
// HPKE private key" only when the key derivation itself fails.
std::expected<X25519KeyPair, core::CryptoError> derive_key_pair(cord::ByteView ikm);

struct Encapsulation {
  SharedSecret shared_secret;
  X25519PublicKey encapsulated_key{};
};

// Encap with the given ephemeral private key. Fails with "Encapsulation
// failed" when the recipient key is not 32 bytes, the DH is all zero or
// the shared secret cannot be derived.
std::expected<Encapsulation, core::CryptoError> encap(const X25519PrivateKey& ephemeral,
                                                      cord::ByteView recipient_public_key);

// Decap. Fails with "Decapsulation failed" when the encapsulated key is
// not 32 bytes, the DH is all zero or the shared secret cannot be derived.
std::expected<SharedSecret, core::CryptoError> decap(cord::ByteView encapsulated_key,
                                                     const X25519PrivateKey& recipient_private_key);
// Decap with the recipient's public key given rather than computed from the
// private key, which saves a scalar multiplication. The key goes into the
// KEM context, so one that is not the private key's derives another shared
// secret and nothing sealed to the recipient opens with it; one that is not
// 32 bytes fails with "Decapsulation failed".
std::expected<SharedSecret, core::CryptoError> decap(cord::ByteView encapsulated_key,
                                                     const X25519PrivateKey& recipient_private_key,
                                                     cord::ByteView recipient_public_key);

// mode 0 || psk_id_hash || info_hash: public, 65 bytes. Empty when a
// derivation fails.
std::optional<cord::Bytes> key_schedule_context(cord::ByteView info);

struct KeySchedule {
  SecretArray<kAeadKeySize> key;
  SecretArray<kAeadNonceSize> base_nonce;
};

// The base-mode key schedule (no PSK). Empty when a derivation fails; the
// caller names the failure ("Failed to seal plaintext" or "Failed to open
// ciphertext"), as only it knows which operation it was.
std::optional<KeySchedule> key_schedule(const SharedSecret& shared_secret, cord::ByteView info);

// The nonce of message number `sequence`: base_nonce XOR the number, big
// endian. Single shot uses 0 only.
SecretArray<kAeadNonceSize> compute_nonce(const SecretArray<kAeadNonceSize>& base_nonce, std::uint64_t sequence);

struct Sealed {
  cord::Bytes encapsulated_key;
  cord::Bytes ciphertext;
};

// Key schedule failures give "Failed to seal plaintext".
std::expected<Sealed, core::CryptoError> seal_base(const X25519PrivateKey& ephemeral,
                                                   cord::ByteView recipient_public_key, cord::ByteView info,
                                                   cord::ByteView aad, cord::ByteView plaintext);

// Authentication failure of any kind, and a key schedule failure, give
// "Failed to open ciphertext".
std::expected<cord::Bytes, core::CryptoError> open_base(const X25519PrivateKey& recipient_private_key,
                                                        cord::ByteView encapsulated_key, cord::ByteView info,
                                                        cord::ByteView aad, cord::ByteView ciphertext);
// The same with the recipient's public key given, as for decap.
std::expected<cord::Bytes, core::CryptoError> open_base(const X25519PrivateKey& recipient_private_key,
                                                        cord::ByteView recipient_public_key,
                                                        cord::ByteView encapsulated_key, cord::ByteView info,
                                                        cord::ByteView aad, cord::ByteView ciphertext);

}  // namespace vornex::crypto::hpke
