// The module's exception classes: created once per process and shared by
// every raise, and the internal-failure class for failures that are not
// errors of the system.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "vornex_py/python.hpp"

namespace vornex::py {

// Declaration order is the order in which the module adds them.
enum class ErrorClass { VornexError, NotFound, PermissionDenied, ConflictError, ValidationError, IdentityError };

inline constexpr ErrorClass kErrorClasses[] = {
    ErrorClass::VornexError,     ErrorClass::NotFound,        ErrorClass::PermissionDenied,
    ErrorClass::ConflictError,   ErrorClass::ValidationError, ErrorClass::IdentityError,
};

// The attribute name of a class in the module ("VornexError", ...).
const char* error_class_name(ErrorClass which);

// An unexpected failure inside the binding or below it; raised in Python as
// the internal-failure class, never as one of the system's errors.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The class object, created on first use (borrowed: it lives until the
// process ends). Throws InternalFailure when the class cannot be created.
PyObject* error_class(ErrorClass which);

// The class of internal failures: derived from BaseException, so that an
// `except Exception` does not swallow it. Created on first use.
PyObject* internal_failure_class();

// Sets the Python error to an instance of the class with one text argument.
void raise_error(ErrorClass which, std::string_view message);

}  // namespace vornex::py
