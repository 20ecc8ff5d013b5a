#pragma once
// describe_spec(spec_json, /) -> dict, a function of the module `_native`
// (METH_O): what the engine makes of a spec text, or ValueError with the
// radar's own message when it refuses it.

#include "bindings/python.hpp"

namespace fenmor::python {

PyObject* describe_spec(PyObject* module, PyObject* spec_json);

}  // namespace fenmor::python
