// The interpreter's C API on the stable ABI of Python 3.11.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030b0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
