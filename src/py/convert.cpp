#include "vornex_py/convert.hpp"

#include <algorithm>

#include "vornex/core/secret.hpp"
#include "vornex_py/exceptions.hpp"

namespace vornex::py {

namespace {

// What a sequence of integers gets before its items are read.
constexpr std::size_t kInitialSequenceReserve = 4096;

ErrorClass class_of(frontend::ExceptionClass cls) {
  switch (cls) {
    case frontend::ExceptionClass::VornexError: return ErrorClass::VornexError;
    case frontend::ExceptionClass::NotFound: return ErrorClass::NotFound;
    case frontend::ExceptionClass::PermissionDenied: return ErrorClass::PermissionDenied;
    case frontend::ExceptionClass::ConflictError: return ErrorClass::ConflictError;
    case frontend::ExceptionClass::ValidationError: return ErrorClass::ValidationError;
    case frontend::ExceptionClass::IdentityError: return ErrorClass::IdentityError;
    case frontend::ExceptionClass::Interrupted: break;  // not one of the module's classes
  }
  return ErrorClass::VornexError;
}

}  // namespace

std::optional<std::string> text_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  // Only the encoding's own refusal means "not text"; a memory error or an
  // interrupt stays pending for the caller.
  if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
  return std::nullopt;
}

namespace {

// Clears a pending ordinary failure (an Exception), which makes the object
// simply not a byte string; an interrupt or an exit request stays pending.
void clear_ordinary_error() {
  if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
}

// Grows a buffer that may hold secret bytes: the old buffer is wiped before
// it is freed.
void grow(cord::Bytes& out) {
  cord::Bytes larger;
  larger.reserve(std::max<std::size_t>(2 * out.capacity(), kInitialSequenceReserve));
  larger.assign(out.begin(), out.end());
  core::secure_wipe(out.data(), out.size());
  out.swap(larger);
}

}  // namespace

std::optional<cord::Bytes> byte_string_of(PyObject* object) {
  if (PyUnicode_Check(object)) return std::nullopt;
  if (PyBytes_Check(object)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) {
      clear_ordinary_error();
      return std::nullopt;
    }
    return cord::Bytes(reinterpret_cast<const std::uint8_t*>(data), reinterpret_cast<const std::uint8_t*>(data) + size);
  }
  if (!PySequence_Check(object)) return std::nullopt;
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    clear_ordinary_error();
    return std::nullopt;
  }
  // The announced length is the object's own claim: reserve no more than a
  // modest amount for it, and grow as items actually arrive.
  cord::Bytes out;
  out.reserve(std::min(static_cast<std::size_t>(size), kInitialSequenceReserve));
  std::optional<cord::Bytes> result;
  Py_ssize_t i = 0;
  for (; i < size; ++i) {
    PyObject* item = PySequence_GetItem(object, i);
    if (item == nullptr || !PyLong_Check(item)) {
      Py_XDECREF(item);
      clear_ordinary_error();
      break;
    }
    const long value = PyLong_AsLong(item);
    Py_DECREF(item);
    if (value < 0 || value > 255) {
      clear_ordinary_error();
      break;
    }
    if (out.size() == out.capacity()) grow(out);
    out.push_back(static_cast<std::uint8_t>(value));
  }
  if (i == size) return out;
  core::secure_wipe(out.data(), out.size());
  return std::nullopt;
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_bytes(cord::ByteView bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* new_str_from_utf8(cord::ByteView bytes, std::string_view failure) {
  PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes.data()),
                                        static_cast<Py_ssize_t>(bytes.size()), "strict");
  if (text != nullptr) return text;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
  PyErr_Clear();
  raise_error(ErrorClass::VornexError, failure);
  return nullptr;
}

PyObject* raise(const frontend::RaisedError& error) {
  if (error.cls == frontend::ExceptionClass::Interrupted) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
  } else {
    raise_error(class_of(error.cls), error.message);
  }
  return nullptr;
}

PyObject* argument_text_error(const char* function, const char* name, const char* what) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not str with a lone surrogate", function, name, what);
  return nullptr;
}

PyObject* argument_type_error(const char* function, const char* name, const char* what, PyObject* given) {
  PyObject* type = PyObject_Type(given);
  PyObject* type_name = type != nullptr ? PyType_GetName(reinterpret_cast<PyTypeObject*>(type)) : nullptr;
  Py_XDECREF(type);
  if (type_name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", function, name, what, type_name);
  Py_DECREF(type_name);
  return nullptr;
}

}  // namespace vornex::py
