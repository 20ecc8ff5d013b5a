#pragma once
// The engine's schemas as Python values, functions of the module `_native`
// (METH_NOARGS), for the Python code that writes, checks or explains events
// and specs instead of keeping its own copies of names.

#include "bindings/python.hpp"

namespace fenmor::python {

// event_schema() -> dict: the member holding the kind, each kind's fields in
// array order as (name, type) with type "int", "float" or "side", the sides.
PyObject* event_schema_dict(PyObject* module, PyObject* unused);

// spec_schema() -> dict: the members of a spec and of a signal in array
// order, and the indicator kinds.
PyObject* spec_schema_dict(PyObject* module, PyObject* unused);

}  // namespace fenmor::python
