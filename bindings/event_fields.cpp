#include "bindings/event_fields.hpp"

namespace fenmor::python {

using event_schema::Variant;

bool intern_field_names(FieldNames& names) {
  for (std::size_t i = 0; i < event_schema::name_count; ++i) {
    names[i] = PyUnicode_InternFromString(event_schema::names[i].data());
    if (names[i] == nullptr) return false;
  }
  return true;
}

void release_field_names(FieldNames& names) {
  for (PyObject*& name : names) {
    if (name != nullptr) Py_DecRef(name);
    name = nullptr;
  }
}

const Variant* variant_named(PyObject* kind) {
  if (kind == nullptr || !PyUnicode_CheckExact(kind)) return nullptr;
  for (const Variant& variant : event_schema::variants) {
    if (PyUnicode_CompareWithASCIIString(kind, variant.tag.data()) == 0) return &variant;
  }
  return nullptr;
}

void EventFields::release() noexcept {
  if (owned_) {
    for (PyObject*& value : values_) {
      if (value != nullptr) Py_DecRef(value);
    }
  }
  values_.fill(nullptr);
  owned_ = false;
  variant_ = nullptr;
}

bool EventFields::read_sequence(PyObject* event) {
  release();
  const bool tuple = PyTuple_Check(event);
  if (!tuple && !PyList_Check(event)) return false;
  const Py_ssize_t size = tuple ? PyTuple_Size(event) : PyList_Size(event);
  if (size < 1) return false;
  const Variant* variant = variant_named(tuple ? PyTuple_GetItem(event, 0) : PyList_GetItem(event, 0));
  if (variant == nullptr || size != static_cast<Py_ssize_t>(variant->fields.size()) + 1) return false;
  for (std::size_t i = 0; i < variant->fields.size(); ++i) {
    const auto at = static_cast<Py_ssize_t>(i) + 1;
    values_[i] = tuple ? PyTuple_GetItem(event, at) : PyList_GetItem(event, at);
  }
  variant_ = variant;
  return true;
}

bool EventFields::read_dict(const FieldNames& names, PyObject* event) {
  release();
  if (!PyDict_Check(event)) return false;
  const Variant* variant = variant_named(PyDict_GetItem(event, names[event_schema::Kind]));
  // Only an object holding exactly the fields means what the array form means.
  if (variant == nullptr || PyDict_Size(event) != static_cast<Py_ssize_t>(variant->fields.size()) + 1) {
    return false;
  }
  for (std::size_t i = 0; i < variant->fields.size(); ++i) {
    values_[i] = PyDict_GetItem(event, names[variant->fields[i].name]);
    if (values_[i] == nullptr) {
      values_.fill(nullptr);
      return false;
    }
  }
  variant_ = variant;
  return true;
}

bool EventFields::read_attributes(const FieldNames& names, PyObject* event, const Variant& variant) {
  release();
  owned_ = true;
  for (std::size_t i = 0; i < variant.fields.size(); ++i) {
    values_[i] = PyObject_GetAttr(event, names[variant.fields[i].name]);
    if (values_[i] == nullptr) {
      PyErr_Clear();
      release();
      return false;
    }
  }
  variant_ = &variant;
  return true;
}

std::optional<std::int64_t> exact_int64(PyObject* value) {
  if (!PyLong_CheckExact(value)) return std::nullopt;
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0 || (number == -1 && PyErr_Occurred() != nullptr)) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<std::int64_t>(number);
}

std::optional<Side> exact_side(PyObject* value) {
  if (!PyUnicode_CheckExact(value)) return std::nullopt;
  for (std::size_t i = 0; i < event_schema::side_names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(value, event_schema::side_names[i].data()) == 0) {
      return static_cast<Side>(i);
    }
  }
  return std::nullopt;
}

}  // namespace fenmor::python
