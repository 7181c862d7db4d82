#include "vornex/core/error.hpp"

#include <string>

namespace vornex::core {

const std::string* CoreError::validation_message() const {
  const auto* v = std::get_if<Validation>(&value_);
  return v == nullptr ? nullptr : &v->message;
}

std::string CoreError::message() const {
  if (const auto* cord = cord_error()) return "cord error: " + cord->message();
  if (kind() == Kind::Interrupted) return "interrupted";
  return "validation failed: " + *validation_message();
}

std::string CryptoError::message() const {
  switch (kind_) {
    case Kind::Core: return "core error: " + core_error()->message();
    case Kind::InvalidByteLength: {
      const ByteLength& b = *byte_length();
      return "invalid byte length for " + b.what + ": expected " + std::to_string(b.expected) + ", got " +
             std::to_string(b.got);
    }
    case Kind::InvalidEd25519PublicKey: return "invalid Ed25519 public key";
    case Kind::InvalidEd25519SecretKey: return "invalid Ed25519 secret key";
    case Kind::InvalidEd25519Signature: return "invalid Ed25519 signature";
    case Kind::InvalidHpkePublicKey: return "invalid HPKE public key";
    case Kind::InvalidHpkePrivateKey: return "invalid HPKE private key";
    case Kind::InvalidHpkeEncapsulatedKey: return "invalid HPKE encapsulated key";
    case Kind::Hpke: return "HPKE operation failed: " + *hpke_description();
    case Kind::Aead: return "AEAD operation failed";
    case Kind::RatchetAuthentication: return "ratchet authentication failed";
  }
  return "crypto error";
}

}  // namespace vornex::core
