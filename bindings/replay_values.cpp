#include "bindings/replay_values.hpp"

#include <limits>
#include <utility>

#include "bindings/arguments.hpp"
#include "bindings/python_errors.hpp"
#include "bindings/tuple_of.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor::python {


PyObject* optional_int(const std::optional<std::int64_t>& value) {
  if (!value) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  return PyLong_FromLongLong(*value);
}

PyObject* optional_str(const std::optional<std::string>& value) {
  if (!value) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  return new_str(*value);
}

PyObject* replies_tuple(const std::vector<std::string>& replies) {
  return tuple_of(replies.size(), [&](std::size_t i) { return new_str(replies[i]); });
}


bool read_period(PyObject* value, const char* name, std::optional<std::uint64_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    std::string message = name;
    message.append(" must be an int or None");
    raise(PyExc_TypeError, message);
    return false;
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (number == -1 && PyErr_Occurred() != nullptr) return false;
  if (overflow > 0) {
    out = std::numeric_limits<std::uint64_t>::max();
    return true;
  }
  if (overflow < 0 || number <= 0) {
    PyObject* text = PyObject_Str(value);
    if (text == nullptr) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    std::string message = name;
    message.append(" must be greater than zero, got ");
    if (utf8 != nullptr) message.append(utf8, static_cast<std::size_t>(size));
    Py_DecRef(text);
    raise(PyExc_ValueError, message);
    return false;
  }
  out = static_cast<std::uint64_t>(number);
  return true;
}


namespace {

// ValueError(message, index): the radar's message for the spec at `index`.
void raise_bad_spec(const RadarError& error, Py_ssize_t index) {
  const std::string text = error.text();
  PyObject* args = Py_BuildValue("(s#n)", text.data(), static_cast<Py_ssize_t>(text.size()), index);
  if (args == nullptr) return;
  PyErr_SetObject(PyExc_ValueError, args);
  Py_DecRef(args);
}

}  // namespace

std::optional<std::vector<RadarHandle>> read_specs(PyObject* specs, const char* function) {
  if (PyUnicode_Check(specs) || PyBytes_Check(specs)) {
    raise(PyExc_TypeError, "specs must be a sequence of spec JSON texts, not a single text");
    return std::nullopt;
  }
  PyObject* iterator = PyObject_GetIter(specs);
  if (iterator == nullptr) return std::nullopt;
  std::vector<RadarHandle> radars;
  const Parameter parameter{function, "specs"};
  bool failed = false;
  for (Py_ssize_t index = 0;; ++index) {
    PyObject* item = PyIter_Next(iterator);
    if (item == nullptr) {
      failed = PyErr_Occurred() != nullptr;
      break;
    }
    const auto text = read_text(parameter, item);
    std::optional<CompiledSpec> spec;
    if (text) {
      auto decoded = decode_spec_text(*text);
      if (decoded) {
        if (auto compiled = CompiledSpec::compile(std::move(*decoded)); !compiled) {
          raise_bad_spec(compiled.error(), index);
        } else {
          spec = std::move(*compiled);
        }
      } else {
        raise_bad_spec(decoded.error(), index);
      }
    }
    Py_DecRef(item);
    if (!spec) {
      failed = true;
      break;
    }
    radars.emplace_back(std::move(*spec));
  }
  Py_DecRef(iterator);
  if (failed) return std::nullopt;
  if (radars.empty()) {
    raise(PyExc_ValueError, "specs must hold at least one spec");
    return std::nullopt;
  }
  return radars;
}


}  // namespace fenmor::python
