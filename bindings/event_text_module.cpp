// The extension module `_event_text`: the JSON text of one event, written from
// Python values with the engine's own shortest-double writer. It serves
// fenmor_radar.Screener, whose cost per event is otherwise writing floats in
// Python (each `repr` costs more than the radar's whole "feed" command).
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

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

#include "bindings/python.hpp"
#include "crates/radar-core/src/event_schema.hpp"
#include "json/format_float.hpp"

namespace fenmor::python {

namespace {

using event_schema::FieldType;
using event_schema::Variant;

// The fields of the longest variant.
constexpr std::size_t most_fields = [] {
  std::size_t most = 0;
  for (const Variant& variant : event_schema::variants) most = std::max(most, variant.fields.size());
  return most;
}();

// Per-module state: the attribute names, made once, so that reading an
// event object's fields does not make a string per field.
struct State {
  std::array<PyObject*, event_schema::name_count> names;
};

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

int init_state(PyObject* module) {
  State& state = state_of(module);
  for (std::size_t i = 0; i < event_schema::name_count; ++i) {
    state.names[i] = PyUnicode_InternFromString(event_schema::names[i].data());
    if (state.names[i] == nullptr) return -1;
  }
  return 0;
}

void free_state(void* module) {
  if (module == nullptr) return;
  State* state = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(module)));
  if (state == nullptr) return;
  for (PyObject*& name : state->names) {
    if (name != nullptr) Py_DecRef(name);
    name = nullptr;
  }
}

// Appends one value; false when it is not one this writer takes as it is.
bool append_value(std::string& out, PyObject* value, FieldType type) {
  if (type == FieldType::Side) {
    if (!PyUnicode_CheckExact(value)) return false;
    if (PyUnicode_CompareWithASCIIString(value, "buy") == 0) {
      out += "\"buy\"";
      return true;
    }
    if (PyUnicode_CompareWithASCIIString(value, "sell") == 0) {
      out += "\"sell\"";
      return true;
    }
    return false;
  }
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || (number == -1 && PyErr_Occurred() != nullptr)) {
      PyErr_Clear();
      return false;
    }
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, number).ptr;
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

const Variant* variant_named(PyObject* kind) {
  if (kind == nullptr || !PyUnicode_CheckExact(kind)) return nullptr;
  for (const Variant& variant : event_schema::variants) {
    if (PyUnicode_CompareWithASCIIString(kind, variant.tag.data()) == 0) return &variant;
  }
  return nullptr;
}

// The field values of `event` in array order (borrowed into `values`, with
// `owned` set when they are new references), or its variant; nullptr with no
// Python error set when the event is not one this writer takes.
const Variant* read_event(const State& state, PyObject* event,
                          std::array<PyObject*, most_fields>& values, bool& owned) {
  owned = false;
  if (PyTuple_Check(event) || PyList_Check(event)) {
    const bool tuple = PyTuple_Check(event);
    const Py_ssize_t size = tuple ? PyTuple_Size(event) : PyList_Size(event);
    if (size < 1) return nullptr;
    PyObject* kind = tuple ? PyTuple_GetItem(event, 0) : PyList_GetItem(event, 0);
    const Variant* variant = variant_named(kind);
    if (variant == nullptr || size != static_cast<Py_ssize_t>(variant->fields.size()) + 1) return nullptr;
    for (std::size_t i = 0; i < variant->fields.size(); ++i) {
      const auto at = static_cast<Py_ssize_t>(i) + 1;
      values[i] = tuple ? PyTuple_GetItem(event, at) : PyList_GetItem(event, at);
    }
    return variant;
  }
  if (PyDict_Check(event)) {
    const Variant* variant = variant_named(PyDict_GetItemString(event, event_schema::tag_member.data()));
    // Only an object holding exactly the fields means what the array form means.
    if (variant == nullptr || PyDict_Size(event) != static_cast<Py_ssize_t>(variant->fields.size()) + 1) {
      return nullptr;
    }
    for (std::size_t i = 0; i < variant->fields.size(); ++i) {
      values[i] = PyDict_GetItemString(event, event_schema::name_of(variant->fields[i]).data());
      if (values[i] == nullptr) return nullptr;
    }
    return variant;
  }
  PyObject* kind = PyObject_GetAttr(event, state.names[event_schema::Kind]);
  if (kind == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  const Variant* variant = variant_named(kind);
  Py_DecRef(kind);
  if (variant == nullptr) return nullptr;
  std::size_t read = 0;
  for (; read < variant->fields.size(); ++read) {
    values[read] = PyObject_GetAttr(event, state.names[variant->fields[read].name]);
    if (values[read] == nullptr) break;
  }
  if (read < variant->fields.size()) {
    PyErr_Clear();
    for (std::size_t i = 0; i < read; ++i) Py_DecRef(values[i]);
    return nullptr;
  }
  owned = true;
  return variant;
}

bool append_text(std::string& out, PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out.append(data, static_cast<std::size_t>(size));
  return true;
}

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
  std::array<PyObject*, most_fields> values{};
  bool owned = false;
  const Variant* variant = read_event(state_of(module), args[0], values, owned);
  if (variant == nullptr) Py_RETURN_NONE;

  std::string out;
  out.reserve(256);
  bool written = count < 2 || append_text(out, args[1]);
  if (written) {
    out += "[\"";
    out += variant->tag;
    out += '"';
    for (std::size_t i = 0; written && i < variant->fields.size(); ++i) {
      out += ',';
      written = append_value(out, values[i], variant->fields[i].type);
    }
    out += ']';
  }
  if (owned) {
    for (std::size_t i = 0; i < variant->fields.size(); ++i) Py_DecRef(values[i]);
  }
  if (written && count == 3) written = append_text(out, args[2]);
  if (!written) {
    if (PyErr_Occurred() != nullptr) return nullptr;  // a prefix that is not UTF-8
    Py_RETURN_NONE;
  }
  return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyMethodDef methods[] = {
    {"event_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(event_text)),
     METH_FASTCALL,
     "event_text(event, prefix='', suffix='') -> str | None\n\n"
     "The array-form JSON text of an event between prefix and suffix, or None\n"
     "for an event to be written the general way."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_event_text",
    "Event texts for fenmor_radar.Screener (`fenmor_radar._event_text`).",
    sizeof(State),
    methods,
    nullptr,
    nullptr,
    nullptr,
    free_state,
};

}  // namespace

}  // namespace fenmor::python

PyMODINIT_FUNC PyInit__event_text() {
  PyObject* module = PyModule_Create(&fenmor::python::module_definition);
  if (module != nullptr && fenmor::python::init_state(module) < 0) {
    Py_DecRef(module);
    return nullptr;
  }
  return module;
}
