#pragma once
// The native base of fenmor_radar.Screener (`fenmor_radar._native.ScreenerCore`).

#include "bindings/python.hpp"

namespace fenmor::python {

// The type, made for `module`; nullptr with the error set on failure.
PyObject* make_screener_core_type(PyObject* module);

}  // namespace fenmor::python
