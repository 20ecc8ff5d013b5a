#include "bindings/internal_fault.hpp"

#include <cstdio>
#include <string>

#include "bindings/python_errors.hpp"
#include "bindings/thread_identity.hpp"

namespace fenmor::python {

namespace {

constexpr const char* fault_doc =
    "An internal fault of the radar's native module, such as a radar used from a thread that "
    "did not create it.\n\nIt derives from BaseException, not Exception: it signals a defect in "
    "the calling program, not a condition to handle.";

// Created once and kept for the life of the process, like the Radar class.
PyObject* fault_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", fault_doc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

PyObject* raise_internal_fault(std::string_view message) {
  PyObject* type = fault_type();
  if (type == nullptr) return nullptr;
  std::string diagnostic = "fenmor_radar: internal fault on thread ThreadId(";
  diagnostic.append(std::to_string(current_thread_id()));
  diagnostic.append("):\n");
  diagnostic.append(message);
  diagnostic.push_back('\n');
  std::fwrite(diagnostic.data(), 1, diagnostic.size(), stderr);
  std::fflush(stderr);
  return raise(type, message);
}

}  // namespace fenmor::python
