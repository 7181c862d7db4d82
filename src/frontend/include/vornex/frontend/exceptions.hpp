// Which of the module's exception classes a failure becomes, with what
// text. The module only turns the answer into a Python exception.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vornex/frontend/error.hpp"

namespace vornex::frontend {

enum class ExceptionClass : std::uint8_t {
  VornexError,
  NotFound,
  PermissionDenied,
  ConflictError,
  ValidationError,
  IdentityError,
  // The caller pressed Ctrl-C while a vault opened (at the prompt or
  // before it): Python's KeyboardInterrupt, in whichever thread was opening.
  Interrupted,
};

struct RaisedError {
  ExceptionClass cls;
  std::string message;
  bool operator==(const RaisedError&) const = default;
};

// By the message's words: "validation failed" is a validation error;
// "keychain", "identity" or "ratchet state" an identity error; anything
// else the module's base error. User text in the message counts too.
RaisedError py_err(std::string message);
inline RaisedError py_err(const ops::OpsError& error) { return py_err(error.message()); }
inline RaisedError py_err(const FrontendError& error) { return py_err(error.message()); }
inline RaisedError py_err(const keychain::KeychainError& error) { return py_err(error.message()); }

// The failure of an operation on one secret, named by its canonical text.
RaisedError secret_error(const ops::OpsError& error, std::string_view selector);

}  // namespace vornex::frontend
