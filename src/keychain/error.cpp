#include "vornex/keychain/error.hpp"

namespace vornex::keychain {

const Path* KeychainError::path() const {
  if (const auto* io = std::get_if<PathIo>(&detail_)) return &io->path;
  if (const auto* invalid = std::get_if<PathReason>(&detail_)) return &invalid->path;
  return std::get_if<Path>(&detail_);
}

const std::string* KeychainError::reason() const {
  if (const auto* invalid = std::get_if<PathReason>(&detail_)) return &invalid->reason;
  if (const auto* backend = std::get_if<Backend>(&detail_)) return &backend->reason;
  return std::get_if<std::string>(&detail_);
}

std::string KeychainError::message() const {
  const auto user_text = [&] { return core::debug_string(*user()); };
  switch (kind_) {
    case Kind::Store: return "store error: " + store_error()->message();
    case Kind::Crypto: return "crypto error: " + crypto_error()->message();
    case Kind::Cord: return "Cord error: " + cord_error()->message();
    case Kind::Io: {
      const auto& io = std::get<PathIo>(detail_);
      return "I/O error at " + store::display(io.path) + ": " + io.source.message();
    }
    case Kind::NotFound: return "identity keychain does not contain " + user_text();
    case Kind::Inconsistent: return "identity material is inconsistent for " + user_text();
    case Kind::UnlockFailed: return "identity keychain unlock failed";
    case Kind::PassphraseProvider: return "passphrase provider failed: " + *reason();
    case Kind::PassphraseMismatch: return "passphrases did not match";
    case Kind::IdentityProvider: return "identity provider failed: " + *reason();
    case Kind::BackendUnavailable: {
      const auto& b = std::get<Backend>(detail_);
      return b.backend + " identity keychain backend is unavailable: " + b.reason;
    }
    case Kind::InvalidKdfParams: return "invalid passphrase keychain parameters";
    case Kind::Argon2: return "Argon2 operation failed: " + *reason();
    case Kind::NoSafeKeychain: return "no safe identity keychain is available for " + user_text();
    case Kind::FileInvalid: {
      const auto& f = std::get<PathReason>(detail_);
      return "keychain file " + store::display(f.path) + " is invalid: " + f.reason;
    }
    case Kind::LockTimeout: return "timed out waiting for keychain lock at " + store::display(*path());
  }
  return "keychain error";
}

}  // namespace vornex::keychain
