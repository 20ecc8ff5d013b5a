// The schemas as Python values, straight from event_schema.hpp,
// spec_schema.hpp and the indicator names of spec.hpp.

#include "bindings/schema_functions.hpp"

#include <cstddef>
#include <span>
#include <string_view>

#include "bindings/python_errors.hpp"
#include "bindings/tuple_of.hpp"
#include "crates/radar-core/src/event_schema.hpp"
#include "crates/radar-core/src/spec.hpp"
#include "crates/radar-core/src/spec_schema.hpp"

namespace fenmor::python {

namespace {

using event_schema::FieldType;

std::string_view type_name(FieldType type) {
  switch (type) {
    case FieldType::Ts: return "int";
    case FieldType::Float: return "float";
    case FieldType::Side: break;
  }
  return "side";
}

PyObject* fields_tuple(const event_schema::Variant& variant) {
  return tuple_of(variant.fields.size(), [&](std::size_t i) {
    const std::string_view name = event_schema::name_of(variant.fields[i]);
    const std::string_view type = type_name(variant.fields[i].type);
    return Py_BuildValue("(s#s#)", name.data(), static_cast<Py_ssize_t>(name.size()), type.data(),
                         static_cast<Py_ssize_t>(type.size()));
  });
}

PyObject* names_tuple(std::span<const std::string_view> names) {
  return tuple_of(names.size(), [&](std::size_t i) { return new_str(names[i]); });
}

}  // namespace

PyObject* event_schema_dict(PyObject* /*module*/, PyObject* /*unused*/) {
  PyObject* kinds = PyDict_New();
  if (kinds == nullptr) return nullptr;
  for (const event_schema::Variant& variant : event_schema::variants) {
    PyObject* tag = new_str(variant.tag);
    PyObject* fields = tag == nullptr ? nullptr : fields_tuple(variant);
    const int status = fields == nullptr ? -1 : PyDict_SetItem(kinds, tag, fields);
    if (tag != nullptr) Py_DecRef(tag);
    if (fields != nullptr) Py_DecRef(fields);
    if (status < 0) {
      Py_DecRef(kinds);
      return nullptr;
    }
  }
  return Py_BuildValue("{s:N,s:N,s:N}", "kind_member", new_str(event_schema::tag_member), "kinds",
                       kinds, "sides", names_tuple(event_schema::side_names));
}

PyObject* spec_schema_dict(PyObject* /*module*/, PyObject* /*unused*/) {
  return Py_BuildValue("{s:N,s:N,s:N}", "spec_members", names_tuple(spec_schema::spec_fields),
                       "signal_members", names_tuple(spec_schema::signal_fields), "kinds",
                       names_tuple(indicator_names));
}

}  // namespace fenmor::python
