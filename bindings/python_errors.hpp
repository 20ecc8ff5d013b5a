#pragma once
// Raising Python exceptions with the binding's messages, and the str of a text.

#include <string_view>

#include "bindings/python.hpp"

namespace fenmor::python {

// A str of UTF-8 `text`; nullptr with the error set when it is not UTF-8.
PyObject* new_str(std::string_view text);

// Sets `type` with the UTF-8 `message`. Always returns nullptr, so that an
// entry point can `return raise(...)`.
PyObject* raise(PyObject* type, std::string_view message);

// TypeError "'int' object is not an instance of 'str'" ("'None' is not an
// instance of 'str'" for None). Returns nullptr.
PyObject* raise_type_mismatch(PyObject* value, std::string_view expected);

// Adds `note` to the pending exception through its add_note method, where
// the interpreter has one; the pending exception stays the same either way.
void add_note_to_pending(std::string_view note);

}  // namespace fenmor::python
