#include "bindings/event_fields.hpp"

#include <cmath>
#include <string_view>

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

namespace {

// The schema name a dict key is, or name_count. Keys written in Python
// source are the interned names themselves; others (from json.loads) are
// compared by their text.
std::size_t name_index(const FieldNames& names, PyObject* key) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == key) return i;
  }
  if (!PyUnicode_CheckExact(key)) return names.size();
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return names.size();
  }
  const std::string_view name(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (event_schema::names[i] == name) return i;
  }
  return names.size();
}

}  // namespace

bool EventFields::read_dict(const FieldNames& names, PyObject* event) {
  release();
  if (!PyDict_Check(event)) return false;
  // One pass over the items, not a lookup per field: each key is a name of
  // the schema, once (a dict's keys are distinct).
  std::array<PyObject*, event_schema::name_count> by_name{};
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t items = 0;
  while (PyDict_Next(event, &position, &key, &value)) {
    const std::size_t at = name_index(names, key);
    if (at == names.size()) return false;
    by_name[at] = value;
    ++items;
  }
  const Variant* variant = variant_named(by_name[event_schema::Kind]);
  // Only an object holding exactly the fields means what the array form means.
  if (variant == nullptr || items != static_cast<Py_ssize_t>(variant->fields.size()) + 1) return false;
  for (std::size_t i = 0; i < variant->fields.size(); ++i) {
    values_[i] = by_name[variant->fields[i].name];
    if (values_[i] == nullptr) {
      values_.fill(nullptr);
      return false;
    }
  }
  variant_ = variant;
  return true;
}

void FieldDescriptors::release() noexcept {
  for (PyObject*& descriptor : descriptors_) {
    if (descriptor != nullptr) Py_DecRef(descriptor);
    descriptor = nullptr;
  }
  getters_.fill(nullptr);
  if (type_ != nullptr) Py_DecRef(type_);
  type_ = nullptr;
  loaded_ = false;
}

bool FieldDescriptors::load(const FieldNames& names, PyObject* type, const Variant& variant) {
  release();
  Py_IncRef(type);
  type_ = type;
  for (std::size_t i = 0; i < variant.fields.size(); ++i) {
    PyObject* descriptor = PyObject_GetAttr(type, names[variant.fields[i].name]);
    if (descriptor == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      return true;  // read by attributes
    }
    descriptors_[i] = descriptor;
    PyTypeObject* kind = Py_TYPE(descriptor);
    getters_[i] = reinterpret_cast<descrgetfunc>(PyType_GetSlot(kind, Py_tp_descr_get));
    // Only a data descriptor comes before an instance's own attributes.
    if (getters_[i] == nullptr || PyType_GetSlot(kind, Py_tp_descr_set) == nullptr) return true;
  }
  loaded_ = true;
  return true;
}

template <class Get>
bool EventFields::read_owned(const Variant& variant, Get&& get) {
  release();
  owned_ = true;
  for (std::size_t i = 0; i < variant.fields.size(); ++i) {
    values_[i] = get(i);
    if (values_[i] == nullptr) {
      PyErr_Clear();
      release();
      return false;
    }
  }
  variant_ = &variant;
  return true;
}

bool EventFields::read_descriptors(const FieldNames& names, PyObject* event, const Variant& variant,
                                   const FieldDescriptors& descriptors) {
  if (!descriptors.loaded()) return read_attributes(names, event, variant);
  return read_owned(variant, [&](std::size_t i) {
    return descriptors.getters_[i](descriptors.descriptors_[i], event, descriptors.type_);
  });
}

bool EventFields::read_attributes(const FieldNames& names, PyObject* event, const Variant& variant) {
  return read_owned(variant, [&](std::size_t i) {
    return PyObject_GetAttr(event, names[variant.fields[i].name]);
  });
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

namespace {

// numpy's bool is no int and no float, but it converts to both: a truth
// value must stay one, for the radar to refuse it as it refuses `true`.
bool names_a_bool(PyObject* value) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__");
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool named = PyUnicode_Check(name) && (PyUnicode_CompareWithASCIIString(name, "bool") == 0 ||
                                               PyUnicode_CompareWithASCIIString(name, "bool_") == 0);
  Py_DecRef(name);
  return named;
}

}  // namespace

std::optional<std::int64_t> index_int64(PyObject* value) {
  // Python's own ints (and bools, and int subclasses) are exact_int64's.
  if (PyLong_Check(value) || PyType_GetSlot(Py_TYPE(value), Py_nb_index) == nullptr || names_a_bool(value)) {
    return std::nullopt;
  }
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  const std::optional<std::int64_t> number = exact_int64(index);
  Py_DecRef(index);
  return number;
}

std::optional<double> protocol_double(PyObject* value) {
  if (PyFloat_Check(value)) {  // a float subclass: numpy.float64
    const double number = PyFloat_AsDouble(value);
    if (std::isfinite(number)) return number;
    return std::nullopt;
  }
  // Whatever has __index__ is an integer (index_int64's), or refuses to be
  // one, as numpy's bool does: never a float.
  PyTypeObject* type = Py_TYPE(value);
  if (PyLong_Check(value) || PyUnicode_Check(value) || PyBytes_Check(value) ||
      PyType_GetSlot(type, Py_nb_index) != nullptr || PyType_GetSlot(type, Py_nb_float) == nullptr ||
      names_a_bool(value)) {
    return std::nullopt;
  }
  PyObject* number = PyNumber_Float(value);
  if (number == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  const double result = PyFloat_AsDouble(number);
  Py_DecRef(number);
  if (std::isfinite(result)) return result;
  return std::nullopt;
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
