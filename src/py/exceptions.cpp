#include "vornex_py/exceptions.hpp"

namespace vornex::py {
namespace {

struct ClassInfo {
  const char* name;
  const char* qualified_name;
};

constexpr ClassInfo kInfo[] = {
    {"VornexError", "vornex.VornexError"},         {"NotFound", "vornex.NotFound"},
    {"PermissionDenied", "vornex.PermissionDenied"}, {"ConflictError", "vornex.ConflictError"},
    {"ValidationError", "vornex.ValidationError"}, {"IdentityError", "vornex.IdentityError"},
};

PyObject* g_classes[std::size(kInfo)] = {};
PyObject* g_internal_failure = nullptr;

// Creates a class once. The interpreter lock is held, but creating a class
// may run Python code that lets another thread in: if that thread stored a
// class first, its class is kept and ours dropped, so every user sees one.
PyObject* create_once(PyObject*& slot, const char* qualified_name, PyObject* base) {
  if (slot != nullptr) return slot;
  PyObject* created = PyErr_NewException(qualified_name, base, nullptr);
  if (created == nullptr) {
    PyErr_Clear();
    throw InternalFailure("Failed to initialize new exception type.");
  }
  if (slot == nullptr) {
    slot = created;
  } else {
    Py_DECREF(created);
  }
  return slot;
}

}  // namespace

const char* error_class_name(ErrorClass which) { return kInfo[static_cast<int>(which)].name; }

PyObject* error_class(ErrorClass which) {
  const auto index = static_cast<std::size_t>(which);
  PyObject* base = which == ErrorClass::VornexError ? PyExc_Exception : error_class(ErrorClass::VornexError);
  return create_once(g_classes[index], kInfo[index].qualified_name, base);
}

PyObject* internal_failure_class() {
  return create_once(g_internal_failure, "vornex.InternalFailure", PyExc_BaseException);
}

void raise_error(ErrorClass which, std::string_view message) {
  PyObject* cls = error_class(which);
  PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text != nullptr) {
    PyErr_SetObject(cls, text);
    Py_DECREF(text);
  }
}

}  // namespace vornex::py
