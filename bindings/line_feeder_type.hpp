#pragma once
// The Python type `LineFeeder` around replay::LineFeeder.

#include "bindings/python.hpp"

namespace fenmor::python {

struct ReplayModuleState {
  PyObject* line_feeder_type;
  PyObject* checkpoint_tag;  // "checkpoint"
  PyObject* bad_tag;         // "bad"
};

// A new reference to the type, made for `module`; nullptr with an error set.
PyObject* make_line_feeder_type(PyObject* module);

}  // namespace fenmor::python
