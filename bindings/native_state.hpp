#pragma once
// The state of the module `_native`: its types, its interned tags and the
// schema's field names. Each import of the module has its own (no
// process-wide statics), reached from the module or from one of its types.

#include "bindings/event_fields.hpp"
#include "bindings/python.hpp"

namespace fenmor::python {

struct NativeState {
  PyObject* screener_core_type;
  PyObject* line_feeder_type;
  PyObject* shard_reader_type;
  PyObject* mapped_file_type;
  PyObject* converter_type;
  PyObject* checkpoint_tag;  // "checkpoint"
  PyObject* bad_tag;         // "bad"
  FieldNames field_names;    // every member name of the event schema, interned
};

inline NativeState& native_state(PyObject* module) {
  return *static_cast<NativeState*>(PyModule_GetState(module));
}

// The state of the module that made the type of `self`; nullptr with the
// error set for an instance of a subclass made elsewhere.
inline NativeState* native_state_of_instance(PyObject* self) {
  return static_cast<NativeState*>(PyType_GetModuleState(Py_TYPE(self)));
}

}  // namespace fenmor::python
