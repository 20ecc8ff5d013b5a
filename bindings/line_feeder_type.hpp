#pragma once
// The Python type `LineFeeder` around replay::LineFeeder.

#include "bindings/python.hpp"

namespace fenmor::python {

// A new reference to the type, made for `module`; nullptr with an error set.
PyObject* make_line_feeder_type(PyObject* module);

}  // namespace fenmor::python
