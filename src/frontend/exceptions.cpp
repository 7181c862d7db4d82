#include "vornex/frontend/exceptions.hpp"

namespace vornex::frontend {

RaisedError py_err(std::string message) {
  ExceptionClass cls = ExceptionClass::VornexError;
  if (message.find("validation failed") != std::string::npos) {
    cls = ExceptionClass::ValidationError;
  } else if (message.find("keychain") != std::string::npos || message.find("identity") != std::string::npos ||
             message.find("ratchet state") != std::string::npos) {
    cls = ExceptionClass::IdentityError;
  }
  return RaisedError{cls, std::move(message)};
}

RaisedError secret_error(const ops::OpsError& error, std::string_view selector) {
  using Kind = ops::OpsError::Kind;
  using core::validate::SecretStatus;
  const std::string name(selector);
  switch (error.kind()) {
    case Kind::Keychain: return RaisedError{ExceptionClass::IdentityError, error.message()};
    case Kind::ValidationFailed: return RaisedError{ExceptionClass::ValidationError, error.message()};
    case Kind::SecretMissing: return RaisedError{ExceptionClass::NotFound, "secret " + name + " not found"};
    case Kind::SecretNotDecryptable: {
      const SecretStatus status = *error.status();
      if (status == SecretStatus::NotEncryptedForReader || status == SecretStatus::Unauthorized) {
        return RaisedError{ExceptionClass::PermissionDenied, "not authorized for secret " + name};
      }
      return py_err(error);
    }
    case Kind::SecretNotWritable:
      return RaisedError{ExceptionClass::PermissionDenied, "not authorized for secret " + name};
    case Kind::SecretConflicted: return RaisedError{ExceptionClass::ConflictError, "secret " + name + " is conflicted"};
    default: return py_err(error);
  }
}

}  // namespace vornex::frontend
