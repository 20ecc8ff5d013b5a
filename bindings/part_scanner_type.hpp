#pragma once
// The Python type `PartScanner` around replay::PartScanner.

#include "bindings/python.hpp"

namespace fenmor::python {

// A new reference to the type, made for `module`; nullptr with an error set.
PyObject* make_part_scanner_type(PyObject* module);

}  // namespace fenmor::python
