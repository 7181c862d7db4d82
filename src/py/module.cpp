// The extension module `vornex`: multi-phase initialisation whose exec step
// adds the module's names in their fixed order.
#include "vornex/frontend/vault.hpp"
#include "vornex_py/boundary.hpp"
#include "vornex_py/docs.hpp"
#include "vornex_py/exceptions.hpp"
#include "vornex_py/python.hpp"
#include "vornex_py/types.hpp"

namespace vornex::py {
namespace {

// Appends `name` to the module's __all__ (created on first use) and sets
// the attribute. Returns -1 with a Python exception set on failure.
int add_name(PyObject* module, const char* name, PyObject* value) {
  int status = -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all != nullptr && PyModule_AddObjectRef(module, "__all__", all) < 0) Py_CLEAR(all);
  }
  PyObject* text = all != nullptr ? PyUnicode_FromString(name) : nullptr;
  if (text != nullptr && PyList_Append(all, text) == 0) status = PyModule_AddObjectRef(module, name, value);
  Py_XDECREF(text);
  Py_XDECREF(all);
  return status;
}

int exec_module(PyObject* module) {
  return guarded(-1, [&] {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_TypeError, "module exec step expects a module");
      return -1;
    }
    if (!frontend::start_process()) {
      PyErr_SetString(PyExc_ImportError, "the libraries vornex uses could not be started");
      return -1;
    }
    if (add_name(module, "Auth", auth_type()) < 0 || add_name(module, "Selector", selector_type()) < 0 ||
        add_name(module, "Vault", vault_type()) < 0) {
      return -1;
    }
    for (const ErrorClass which : kErrorClasses) {
      if (add_name(module, error_class_name(which), error_class(which)) < 0) return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "vornex",
    docs::kModule,
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vornex::py

PyMODINIT_FUNC PyInit_vornex(void) { return PyModuleDef_Init(&vornex::py::g_module); }
