#pragma once
// Argument handling shared by the constructor and `command`: one parameter,
// given by position or by keyword, that must be a str read as UTF-8.

#include <optional>
#include <string_view>

#include "bindings/python.hpp"

namespace fenmor::python {

struct Parameter {
  const char* function;  // "Radar.__new__()", used in the messages
  const char* name;      // "spec_json"
};

// The one argument of a call made with a tuple and a dictionary (or null), or
// nullptr with the TypeError set. A borrowed reference.
PyObject* match_argument(const Parameter& parameter, PyObject* args, PyObject* kwargs);

// The same for the vectorcall convention: positional values first, then one
// value per name of `kwnames` (a tuple, or null).
PyObject* match_argument(const Parameter& parameter, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// The UTF-8 text of a str, without a copy: valid as long as `value` lives.
// Otherwise nothing, with a TypeError or the interpreter's own encoding error
// pending, noted "while processing '<name>'".
std::optional<std::string_view> read_text(const Parameter& parameter, PyObject* value);

}  // namespace fenmor::python
