// Conversions between Python objects and the values below the binding.
// Every function here expects the interpreter lock to be held.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cord/wire.hpp"
#include "vornex/frontend/exceptions.hpp"
#include "vornex_py/python.hpp"

namespace vornex::py {

// The UTF-8 text of a str. A str that has none (it holds a lone
// surrogate) gives none with no Python error set, so that the caller can
// raise that argument's own error; any other failure gives none with the
// Python error set.
std::optional<std::string> text_of(PyObject* str);

// The bytes of an object that converts to a byte string: bytes, or any
// other sequence whose items are all integers from 0 to 255 (never a str).
// None, with no Python error set, for any other object; but an interrupt
// or exit request raised while reading it is left set for the caller.
std::optional<cord::Bytes> byte_string_of(PyObject* object);

// New references, or null with a Python error set.
PyObject* new_str(std::string_view text);
PyObject* new_bytes(cord::ByteView bytes);
// Strict UTF-8: null with VornexError `failure` for other bytes.
PyObject* new_str_from_utf8(cord::ByteView bytes, std::string_view failure);

// Raises the class and text the front end chose; returns null.
PyObject* raise(const frontend::RaisedError& error);

// TypeError "argument 'name' must be what, not <type>"; returns null.
PyObject* argument_type_error(const char* function, const char* name, const char* what, PyObject* given);
// The same for text with no UTF-8 form: "..., not str with a lone surrogate".
PyObject* argument_text_error(const char* function, const char* name, const char* what);

}  // namespace vornex::py
