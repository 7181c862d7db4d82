#include "vornex_py/boundary.hpp"

#include "vornex_py/exceptions.hpp"

namespace vornex::py {

void raise_internal_failure(const char* message) {
  try {
    PyObject* cls = internal_failure_class();
    PyErr_SetString(cls, message);
  } catch (const abi::__forced_unwind&) {
    throw;  // creating the class ran Python code, and the thread is being ended
  } catch (...) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

}  // namespace vornex::py
