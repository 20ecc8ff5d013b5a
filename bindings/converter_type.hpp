#pragma once
// The Python type `Converter` around convert::Converter: vendor CSV files
// into recording lines.

#include "bindings/python.hpp"

namespace fenmor::python {

// A new reference to the type, made for `module`; nullptr with an error set.
PyObject* make_converter_type(PyObject* module);

}  // namespace fenmor::python
