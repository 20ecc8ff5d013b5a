#pragma once
// Faults that are not ordinary errors, raised as a BaseException subclass so
// that `except Exception` does not swallow them.

#include <string_view>

#include "bindings/python.hpp"

namespace fenmor::python {

// Writes a diagnostic naming the thread and `message` to standard error, then
// sets the internal-fault exception "pyo3_runtime.PanicException" (created on
// first use) with `message`. Always returns nullptr.
PyObject* raise_internal_fault(std::string_view message);

}  // namespace fenmor::python
