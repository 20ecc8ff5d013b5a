#pragma once
// The one way the binding includes the CPython headers. The build defines
// Py_LIMITED_API, so only the stable ABI is reachable from here.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
