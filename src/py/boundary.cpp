#include "vornex_py/boundary.hpp"

#include "vornex_py/exceptions.hpp"

namespace vornex::py {

void raise_internal_failure(const char* message) {
  try {
    PyObject* cls = internal_failure_class();
    PyErr_SetString(cls, message);
  } catch (...) {
    // Creating the class ran Python code, and the thread is being ended.
    if (forced_unwind_in_flight()) throw;
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

}  // namespace vornex::py
