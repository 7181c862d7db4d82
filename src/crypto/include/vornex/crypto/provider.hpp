// The cryptography provider handed to the record model: the domain hash
// and strict Ed25519 verification over the signature transcript.
#pragma once

#include "vornex/core/crypto.hpp"

namespace vornex::crypto {

// No state: one value serves every caller and thread.
class Crypto final : public core::CryptoProvider {
 public:
  Crypto() = default;

  core::HashValue hash(cord::ByteView domain, cord::ByteView data) const override;

  // False for a key that is not 32 bytes or not a curve point, a signature
  // that is not 64 bytes, or any failed check; never an error.
  bool verify_signature(cord::ByteView domain, cord::ByteView public_key, cord::ByteView message,
                        cord::ByteView signature) const override;
};

}  // namespace vornex::crypto
