#include "vornex_py/boundary.hpp"

#include "vornex_py/exceptions.hpp"

namespace vornex::py {

void raise_internal_failure(const char* message) noexcept {
  try {
    PyObject* cls = internal_failure_class();
    PyErr_SetString(cls, message);
  } catch (...) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

}  // namespace vornex::py
