// The module's three classes. Each type object is built once per process,
// from a slot table, and kept for the life of the process.
#pragma once

#include <optional>

#include "vornex/core/selector.hpp"
#include "vornex/frontend/vault.hpp"
#include "vornex_py/python.hpp"

namespace vornex::py {

// Borrowed type objects; each throws InternalFailure when the type cannot
// be built.
PyObject* auth_type();
PyObject* selector_type();
PyObject* vault_type();

// A new Selector holding `selector`, or null with a Python error set.
PyObject* new_selector(const core::SecretSelectorV1& selector);

// A selector argument, taken from selector text or from a Selector; none
// with a Python error set.
std::optional<frontend::NamedSelector> selector_from_py(PyObject* object);

// The payload of an Auth instance; null for any other object.
const frontend::AuthInner* auth_of(PyObject* object);

}  // namespace vornex::py
