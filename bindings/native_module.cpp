// The extension module `_native`: everything native beside the Radar. The
// Screener's base and its event texts, the replay's line feeder, the shard
// reader of replays by parts with the files it maps, the CSV converter, and
// the engine's rules that Python asks for (a spec's description, the
// schemas of events and specs).
// Multi-phase initialisation with one exec function; the types, the interned
// tags and names live in the module's state, not in process-wide statics, so
// that `_fenmor_radar` and its Radar stay exactly as they are.

#include "bindings/columns_functions.hpp"
#include "bindings/converter_type.hpp"
#include "bindings/describe_spec_function.hpp"
#include "bindings/event_fields.hpp"
#include "bindings/event_text_function.hpp"
#include "bindings/heap_type.hpp"
#include "bindings/line_feeder_type.hpp"
#include "bindings/mapped_file_type.hpp"
#include "bindings/native_state.hpp"
#include "bindings/python.hpp"
#include "bindings/schema_functions.hpp"
#include "bindings/screener_core_type.hpp"
#include "bindings/shard_reader_type.hpp"

namespace fenmor::python {

namespace {

// The types the state holds, each with the function that makes it.
struct TypeSlot {
  PyObject* NativeState::*slot;
  PyObject* (*make)(PyObject* module);
};

constexpr TypeSlot type_slots[] = {
    {&NativeState::screener_core_type, make_screener_core_type},
    {&NativeState::line_feeder_type, make_line_feeder_type},
    {&NativeState::shard_reader_type, make_shard_reader_type},
    {&NativeState::mapped_file_type, make_mapped_file_type},
    {&NativeState::converter_type, make_converter_type},
};

int exec_module(PyObject* module) {
  NativeState& state = native_state(module);
  state.checkpoint_tag = PyUnicode_InternFromString("checkpoint");
  if (state.checkpoint_tag == nullptr) return -1;
  state.bad_tag = PyUnicode_InternFromString("bad");
  if (state.bad_tag == nullptr) return -1;
  if (!intern_field_names(state.field_names)) return -1;
  for (const TypeSlot& type : type_slots) {
    state.*type.slot = type.make(module);
    if (state.*type.slot == nullptr) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(state.*type.slot)) < 0) return -1;
  }
  PyObject* all = Py_BuildValue("[ssssssssssss]", "Converter", "LineFeeder", "MappedFile",
                                "ScreenerCore", "ShardReader", "describe_spec", "event_schema",
                                "event_text", "line_columns", "row_lines", "spec_schema",
                                "symbol_hash");
  if (all == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, "__all__", all);
  Py_DecRef(all);
  return status;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  NativeState& state = native_state(module);
  for (const TypeSlot& type : type_slots) {
    if (PyObject* value = state.*type.slot) {
      if (const int status = visit(value, arg)) return status;
    }
  }
  return 0;
}

void drop(PyObject*& slot) {
  PyObject* value = slot;
  slot = nullptr;
  if (value != nullptr) Py_DecRef(value);
}

int clear_module(PyObject* module) {
  NativeState& state = native_state(module);
  for (const TypeSlot& type : type_slots) drop(state.*type.slot);
  drop(state.checkpoint_tag);
  drop(state.bad_tag);
  release_field_names(state.field_names);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyMethodDef module_methods[] = {
    {"describe_spec", describe_spec, METH_O,
     "describe_spec(spec_json, /)\n--\n\n"
     "What the engine makes of a spec text: each signal's key, kind, parameters,\n"
     "weight, lookback, the events it reads and how many, and the most it can give;\n"
     "the factor names, the window, the largest severity any symbol can reach, the\n"
     "members the radar ignores, and the lines of the text where each part lies.\n"
     "ValueError with the radar's message for a spec it refuses."},
    {"event_schema", event_schema_dict, METH_NOARGS,
     "event_schema()\n--\n\n"
     "The engine's event schema: the member holding the kind, each kind's fields in\n"
     "array order as (name, type) with type \"int\", \"float\" or \"side\", and the sides."},
    {"spec_schema", spec_schema_dict, METH_NOARGS,
     "spec_schema()\n--\n\n"
     "The members of a spec and of a signal, in the order of their array forms, and\n"
     "the indicator kinds."},
    {"event_text", as_cfunction(event_text), METH_FASTCALL,
     "event_text(event, prefix='', suffix='', /)\n--\n\n"
     "The array-form JSON text of an event between prefix and suffix, or None\n"
     "for an event to be written the general way."},
    {"row_lines", as_cfunction(row_lines_function), METH_FASTCALL,
     "row_lines(batch, first_row, /)\n--\n\n"
     "The rows of an Arrow record batch of events as recording lines (bytes), and\n"
     "the rows left out: (row, message, field) as a replay reports them."},
    {"line_columns", as_cfunction(line_columns_function), METH_FASTCALL,
     "line_columns(data, first_line, /)\n--\n\n"
     "Recording lines made into event columns: (rows, [(name, type, validity,\n"
     "values, dictionary)], [(line, message, field)] of the lines left out)."},
    {"symbol_hash", symbol_hash_function, METH_O,
     "symbol_hash(symbol, /)\n--\n\n"
     "The 64-bit routing hash of a symbol's UTF-8 bytes (FNV-1a, then the\n"
     "MurmurHash3 finaliser): a line goes to shard symbol_hash(symbol) % shards."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, as_slot(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The native module beside the Radar (`fenmor_radar._native`).",
    static_cast<Py_ssize_t>(sizeof(NativeState)),
    module_methods,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace fenmor::python

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&fenmor::python::module_definition); }
