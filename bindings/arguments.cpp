#include "bindings/arguments.hpp"

#include <cstddef>
#include <string>

#include "bindings/python_errors.hpp"

namespace fenmor::python {

namespace {

PyObject* too_many_positional(const Parameter& parameter, Py_ssize_t given) {
  std::string message = parameter.function;
  message.append(" takes 1 positional arguments but ");
  message.append(std::to_string(given));
  message.append(given == 1 ? " was given" : " were given");
  return raise(PyExc_TypeError, message);
}

PyObject* missing(const Parameter& parameter) {
  std::string message = parameter.function;
  message.append(" missing 1 required positional argument: '");
  message.append(parameter.name);
  message.push_back('\'');
  return raise(PyExc_TypeError, message);
}

// Keyword names are almost always str; anything else is shown by its str().
PyObject* keyword_error(const char* format, const Parameter& parameter, PyObject* keyword) {
  PyObject* message = PyUnicode_FromFormat(format, parameter.function, keyword);
  if (message == nullptr) return nullptr;
  PyErr_SetObject(PyExc_TypeError, message);
  Py_DecRef(message);
  return nullptr;
}

bool names_parameter(PyObject* keyword, const Parameter& parameter) {
  return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, parameter.name) == 0;
}

// Matches keyword `keyword` with value `value` against the parameter; the
// positional value, if any, is already in `matched`. False with the error set.
bool match_keyword(const Parameter& parameter, PyObject* keyword, PyObject* value,
                   bool given_positionally, PyObject*& matched) {
  if (!names_parameter(keyword, parameter)) {
    keyword_error("%s got an unexpected keyword argument '%S'", parameter, keyword);
    return false;
  }
  if (given_positionally) {
    keyword_error("%s got multiple values for argument '%S'", parameter, keyword);
    return false;
  }
  matched = value;
  return true;
}

}  // namespace

PyObject* match_argument(const Parameter& parameter, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return nullptr;
  if (given > 1) return too_many_positional(parameter, given);
  PyObject* matched = given == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    // Dictionary order is the order the caller wrote the keywords in.
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!match_keyword(parameter, keyword, value, given == 1, matched)) return nullptr;
    }
  }
  if (matched == nullptr) return missing(parameter);
  return matched;
}

PyObject* match_argument(const Parameter& parameter, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  if (nargs > 1) return too_many_positional(parameter, nargs);
  PyObject* matched = nargs == 1 ? args[0] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!match_keyword(parameter, PyTuple_GetItem(kwnames, i), args[nargs + i], nargs == 1,
                         matched)) {
        return nullptr;
      }
    }
  }
  if (matched == nullptr) return missing(parameter);
  return matched;
}

std::optional<std::string_view> read_text(const Parameter& parameter, PyObject* value) {
  if (!PyUnicode_Check(value)) {
    raise_type_mismatch(value, "str");
  } else {
    Py_ssize_t size = 0;
    // The str caches its UTF-8 form (for ASCII text it is the str's own
    // storage), so reading it copies nothing.
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 != nullptr) return std::string_view(utf8, static_cast<std::size_t>(size));
  }
  std::string note = "while processing '";
  note.append(parameter.name);
  note.push_back('\'');
  add_note_to_pending(note);
  return std::nullopt;
}

}  // namespace fenmor::python
