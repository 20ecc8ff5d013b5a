// The function `event_text` of the module `_native`: the JSON text of one
// event, written from Python values with the engine's own shortest-double
// writer. It serves fenmor_radar.Screener, whose cost per event is otherwise
// writing floats in Python (each `repr` costs more than the radar's whole
// "feed" command).
//
// event_text(event, prefix="", suffix="") -> str | None
//
// `event` is a tuple or list in the array form, a dict in the object form
// holding exactly the kind and its fields, or an object whose `kind` names
// the kind and whose attributes are the fields (the Screener's dataclasses).
// The text is the array form, between `prefix` and `suffix`. Anything this
// writer does not take as it is (a bool, a float subclass, NaN, an integer
// beyond 64 bits, an unknown kind or side, a missing field) gives None, and
// the caller writes the event the general way, so the radar judges it.

#include "bindings/event_text_function.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "bindings/event_fields.hpp"
#include "bindings/native_state.hpp"
#include "crates/radar-core/src/event_schema.hpp"
#include "json/format_float.hpp"

namespace fenmor::python {

namespace {

using event_schema::FieldType;

// Appends one value; false when it is not one this writer takes as it is.
bool append_value(std::string& out, PyObject* value, FieldType type) {
  if (type == FieldType::Side) {
    const std::optional<Side> side = exact_side(value);
    if (!side) return false;
    out += '"';
    out += event_schema::side_names[static_cast<std::size_t>(*side)];
    out += '"';
    return true;
  }
  if (const std::optional<std::int64_t> number = exact_int64(value)) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, *number).ptr;
    out.append(text, end);
    return true;
  }
  if (type == FieldType::Float && PyFloat_CheckExact(value)) {
    const double number = PyFloat_AsDouble(value);
    if (!std::isfinite(number)) return false;  // json.dumps would write NaN or Infinity
    char text[json::float_text_room];
    out.append(text, json::write_float(text, number));
    return true;
  }
  return false;
}

// The event's fields; false with no Python error set when the event is not
// one this writer takes.
bool read_event(const FieldNames& names, PyObject* event, EventFields& fields) {
  if (PyTuple_Check(event) || PyList_Check(event)) return fields.read_sequence(event);
  if (PyDict_Check(event)) return fields.read_dict(names, event);
  PyObject* kind = PyObject_GetAttr(event, names[event_schema::Kind]);
  if (kind == nullptr) {
    PyErr_Clear();
    return false;
  }
  const event_schema::Variant* variant = variant_named(kind);
  Py_DecRef(kind);
  return variant != nullptr && fields.read_attributes(names, event, *variant);
}

bool append_text(std::string& out, PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out.append(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

PyObject* event_text(PyObject* module, PyObject* const* args, Py_ssize_t count) {
  if (count < 1 || count > 3) {
    PyErr_SetString(PyExc_TypeError, "event_text(event, prefix='', suffix='')");
    return nullptr;
  }
  for (Py_ssize_t i = 1; i < count; ++i) {
    if (!PyUnicode_Check(args[i])) {
      PyErr_SetString(PyExc_TypeError, "event_text: prefix and suffix are str");
      return nullptr;
    }
  }
  EventFields fields;
  if (!read_event(native_state(module).field_names, args[0], fields)) Py_RETURN_NONE;
  const event_schema::Variant& variant = fields.variant();

  std::string out;
  out.reserve(256);
  bool written = count < 2 || append_text(out, args[1]);
  if (written) {
    out += "[\"";
    out += variant.tag;
    out += '"';
    for (std::size_t i = 0; written && i < variant.fields.size(); ++i) {
      out += ',';
      written = append_value(out, fields.value(i), variant.fields[i].type);
    }
    out += ']';
  }
  if (written && count == 3) written = append_text(out, args[2]);
  if (!written) {
    if (PyErr_Occurred() != nullptr) return nullptr;  // a prefix that is not UTF-8
    Py_RETURN_NONE;
  }
  return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace fenmor::python
