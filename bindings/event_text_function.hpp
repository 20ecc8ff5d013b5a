#pragma once
// event_text(event, prefix="", suffix="") -> str | None, a function of the
// module `_native` (METH_FASTCALL): see event_text_function.cpp.

#include "bindings/python.hpp"

namespace fenmor::python {

PyObject* event_text(PyObject* module, PyObject* const* args, Py_ssize_t count);

}  // namespace fenmor::python
