// The errors of the record model and of the cryptography above it. Each is
// a small value with a fixed display text; callers above wrap it with a
// prefix of their own, so the texts nest from the outside in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "cord/error.hpp"

namespace vornex::core {

class CoreError {
 public:
  // Declaration order is the variant number; keep it.
  // Interrupted: a long computation stopped because its caller asked it to
  // (core/stop.hpp), not a fault of what it read.
  enum class Kind : std::uint8_t { Cord, Validation, Interrupted };

  // Every Cord failure is a core failure, carried unchanged.
  CoreError(cord::CordError error) : value_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  static CoreError validation(std::string message) { return CoreError(Validation{std::move(message)}); }
  static CoreError interrupted() { return CoreError(Interrupted{}); }

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  // The carried Cord error, or null for a validation failure.
  const cord::CordError* cord_error() const { return std::get_if<cord::CordError>(&value_); }
  // The validation failure's text, or null for another failure.
  const std::string* validation_message() const;

  std::string message() const;

  bool operator==(const CoreError&) const = default;

 private:
  struct Validation {
    std::string message;
    bool operator==(const Validation&) const = default;
  };
  struct Interrupted {
    bool operator==(const Interrupted&) const = default;
  };
  explicit CoreError(Validation v) : value_(std::move(v)) {}
  explicit CoreError(Interrupted v) : value_(v) {}

  std::variant<cord::CordError, Validation, Interrupted> value_;
};

template <class T>
using CoreResult = std::expected<T, CoreError>;

// The cryptography's error. The record model only names it; the primitives
// that raise it live in the crypto component, which sits above this one.
class CryptoError {
 public:
  // Declaration order is the variant number; keep it.
  enum class Kind : std::uint8_t {
    Core,
    InvalidByteLength,
    InvalidEd25519PublicKey,
    InvalidEd25519SecretKey,
    InvalidEd25519Signature,
    InvalidHpkePublicKey,
    InvalidHpkePrivateKey,
    InvalidHpkeEncapsulatedKey,
    Hpke,
    Aead,
    RatchetAuthentication,
  };

  struct ByteLength {
    std::string what;  // names the value, e.g. "content key"
    std::size_t expected = 0;
    std::size_t got = 0;
    bool operator==(const ByteLength&) const = default;
  };

  CryptoError(CoreError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Core), detail_(std::move(error)) {}

  static CryptoError invalid_byte_length(std::string what, std::size_t expected, std::size_t got) {
    return CryptoError(Kind::InvalidByteLength, ByteLength{std::move(what), expected, got});
  }
  // `description` is the HPKE layer's own text, kept as it is.
  static CryptoError hpke(std::string description) { return CryptoError(Kind::Hpke, std::move(description)); }
  static CryptoError invalid_ed25519_public_key() { return CryptoError(Kind::InvalidEd25519PublicKey, {}); }
  static CryptoError invalid_ed25519_secret_key() { return CryptoError(Kind::InvalidEd25519SecretKey, {}); }
  static CryptoError invalid_ed25519_signature() { return CryptoError(Kind::InvalidEd25519Signature, {}); }
  static CryptoError invalid_hpke_public_key() { return CryptoError(Kind::InvalidHpkePublicKey, {}); }
  static CryptoError invalid_hpke_private_key() { return CryptoError(Kind::InvalidHpkePrivateKey, {}); }
  static CryptoError invalid_hpke_encapsulated_key() { return CryptoError(Kind::InvalidHpkeEncapsulatedKey, {}); }
  static CryptoError aead() { return CryptoError(Kind::Aead, {}); }
  static CryptoError ratchet_authentication() { return CryptoError(Kind::RatchetAuthentication, {}); }

  Kind kind() const { return kind_; }
  // What each kind carries; null for the other kinds.
  const CoreError* core_error() const { return std::get_if<CoreError>(&detail_); }
  const ByteLength* byte_length() const { return std::get_if<ByteLength>(&detail_); }
  const std::string* hpke_description() const { return std::get_if<std::string>(&detail_); }

  std::string message() const;

  bool operator==(const CryptoError&) const = default;

 private:
  using Detail = std::variant<std::monostate, CoreError, ByteLength, std::string>;
  CryptoError(Kind kind, Detail detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  Detail detail_;
};

template <class T>
using CryptoResult = std::expected<T, CryptoError>;

}  // namespace vornex::core
