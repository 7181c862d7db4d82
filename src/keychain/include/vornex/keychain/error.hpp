// The keychain's one error type. Every variant has a fixed display text;
// the errors of the components below are carried whole behind a prefix.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "cord/error.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/store/error.hpp"

namespace vornex::keychain {

using store::Path;

class KeychainError {
 public:
  // Declaration order is the variant number; keep it.
  enum class Kind : std::uint8_t {
    Store,
    Crypto,
    Cord,
    Io,
    NotFound,
    Inconsistent,
    UnlockFailed,
    PassphraseProvider,
    PassphraseMismatch,
    IdentityProvider,
    BackendUnavailable,
    InvalidKdfParams,
    Argon2,
    NoSafeKeychain,
    FileInvalid,
    LockTimeout,
  };

  KeychainError(store::StoreError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Store), detail_(std::move(error)) {}
  KeychainError(core::CryptoError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Crypto), detail_(std::move(error)) {}
  KeychainError(cord::CordError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Cord), detail_(std::move(error)) {}

  static KeychainError io(Path path, store::IoError source) { return {Kind::Io, PathIo{std::move(path), std::move(source)}}; }
  static KeychainError not_found(core::UserId user) { return {Kind::NotFound, std::move(user)}; }
  static KeychainError inconsistent(core::UserId user) { return {Kind::Inconsistent, std::move(user)}; }
  static KeychainError unlock_failed() { return {Kind::UnlockFailed, std::monostate{}}; }
  static KeychainError passphrase_provider(std::string reason) { return {Kind::PassphraseProvider, std::move(reason)}; }
  static KeychainError passphrase_mismatch() { return {Kind::PassphraseMismatch, std::monostate{}}; }
  static KeychainError identity_provider(std::string reason) { return {Kind::IdentityProvider, std::move(reason)}; }
  static KeychainError backend_unavailable(std::string backend, std::string reason) {
    return {Kind::BackendUnavailable, Backend{std::move(backend), std::move(reason)}};
  }
  static KeychainError invalid_kdf_params() { return {Kind::InvalidKdfParams, std::monostate{}}; }
  static KeychainError argon2(std::string reason) { return {Kind::Argon2, std::move(reason)}; }
  static KeychainError no_safe_keychain(core::UserId user) { return {Kind::NoSafeKeychain, std::move(user)}; }
  static KeychainError file_invalid(Path path, std::string reason) {
    return {Kind::FileInvalid, PathReason{std::move(path), std::move(reason)}};
  }
  static KeychainError lock_timeout(Path path) { return {Kind::LockTimeout, std::move(path)}; }

  Kind kind() const { return kind_; }
  // What the variant carries; null for the others.
  const store::StoreError* store_error() const { return std::get_if<store::StoreError>(&detail_); }
  const core::CryptoError* crypto_error() const { return std::get_if<core::CryptoError>(&detail_); }
  const cord::CordError* cord_error() const { return std::get_if<cord::CordError>(&detail_); }
  const core::UserId* user() const { return std::get_if<core::UserId>(&detail_); }
  // The path of Io, FileInvalid and LockTimeout.
  const Path* path() const;
  // The reason text of FileInvalid, PassphraseProvider, IdentityProvider,
  // BackendUnavailable and Argon2.
  const std::string* reason() const;

  std::string message() const;

  bool operator==(const KeychainError&) const = default;

 private:
  struct PathIo {
    Path path;
    store::IoError source;
    bool operator==(const PathIo&) const = default;
  };
  struct PathReason {
    Path path;
    std::string reason;
    bool operator==(const PathReason&) const = default;
  };
  struct Backend {
    std::string backend;
    std::string reason;
    bool operator==(const Backend&) const = default;
  };
  using Detail = std::variant<std::monostate, store::StoreError, core::CryptoError, cord::CordError, PathIo,
                              core::UserId, std::string, Backend, PathReason, Path>;

  KeychainError(Kind kind, Detail detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  Detail detail_;
};

template <class T>
using KeychainResult = std::expected<T, KeychainError>;
using KeychainStatus = std::expected<void, KeychainError>;

}  // namespace vornex::keychain
