#include "vornex/crypto/provider.hpp"

#include "vornex/crypto/ed25519.hpp"
#include "vornex/crypto/transcript.hpp"

namespace vornex::crypto {

core::HashValue Crypto::hash(cord::ByteView domain, cord::ByteView data) const {
  return core::domain_hash(domain, data);
}

bool Crypto::verify_signature(cord::ByteView domain, cord::ByteView public_key, cord::ByteView message,
                              cord::ByteView signature) const {
  // Checked before the transcript is built, so malformed input costs no copy.
  if (public_key.size() != kEd25519PublicKeySize || signature.size() != kEd25519SignatureSize) return false;
  return ed25519_verify_raw(public_key, signature_transcript(domain, message), signature);
}

}  // namespace vornex::crypto
