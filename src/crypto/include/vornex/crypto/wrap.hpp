// HPKE as the rest of the system uses it: a fresh ephemeral key per call,
// the info string framed from a caller's context, and the content key
// wrapped to each reader's X25519 key.
#pragma once

#include "cord/wire.hpp"
#include "vornex/core/error.hpp"
#include "vornex/crypto/content.hpp"
#include "vornex/crypto/x25519.hpp"

namespace vornex::crypto {

struct HpkeSealed {
  cord::Bytes encapsulated_key;  // 32 bytes
  cord::Bytes ciphertext;        // plaintext length + 16
};

// Fails with "invalid HPKE public key" for a key that is not 32 bytes and
// with "HPKE operation failed: Encapsulation failed" for one of small order.
// Should a key derivation fail, it fails with "HPKE operation failed:" and
// "Encapsulation failed" or "Failed to seal plaintext".
core::CryptoResult<HpkeSealed> hpke_seal(cord::ByteView recipient_public_key, cord::ByteView context,
                                         cord::ByteView aad, cord::ByteView plaintext);

// Fails with "invalid HPKE encapsulated key" for one that is not 32 bytes,
// "HPKE operation failed: Decapsulation failed" for one of small order, and
// "HPKE operation failed: Failed to open ciphertext" when authentication
// fails (wrong key, context or aad, altered bytes). A failed key derivation
// gives "Decapsulation failed" or "Failed to open ciphertext" likewise.
core::CryptoResult<cord::Bytes> hpke_open(const X25519PrivateKey& recipient_private_key,
                                          cord::ByteView encapsulated_key, cord::ByteView context,
                                          cord::ByteView aad, cord::ByteView ciphertext);
// The same for a key pair whose public key is taken as given: one scalar
// multiplication instead of two. A public key that is not the private
// key's opens nothing ("Failed to open ciphertext").
core::CryptoResult<cord::Bytes> hpke_open(const X25519KeyPair& recipient, cord::ByteView encapsulated_key,
                                          cord::ByteView context, cord::ByteView aad, cord::ByteView ciphertext);

struct WrappedContentKey {
  cord::Bytes encapsulated_key;  // 32 bytes
  cord::Bytes wrapped_key;       // 48 bytes
};

core::CryptoResult<WrappedContentKey> wrap_content_key(cord::ByteView recipient_public_key, cord::ByteView context,
                                                       cord::ByteView aad, const ContentKey& key);

// As hpke_open; an opened value that is not 32 bytes fails with the
// invalid-byte-length error for "content key". The opened buffer is wiped
// either way.
core::CryptoResult<ContentKey> unwrap_content_key(const X25519PrivateKey& recipient_private_key,
                                                  cord::ByteView encapsulated_key, cord::ByteView context,
                                                  cord::ByteView aad, cord::ByteView wrapped_key);
core::CryptoResult<ContentKey> unwrap_content_key(const X25519KeyPair& recipient, cord::ByteView encapsulated_key,
                                                  cord::ByteView context, cord::ByteView aad,
                                                  cord::ByteView wrapped_key);

}  // namespace vornex::crypto
