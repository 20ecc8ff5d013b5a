#pragma once
// The Python class `Radar`: one radar handle per instance, bound to the thread
// that created it and used by one command at a time.

#include "bindings/python.hpp"

namespace fenmor::python {

// The class, created on the first call and the same object for the rest of
// the process (also for later module objects). A borrowed reference, or
// nullptr with an exception set.
PyObject* radar_type();

}  // namespace fenmor::python
