// The extension module `_fenmor_replay`: the native line feeder of replays,
// and the shard reader of replays by parts with the files it maps.
// Multi-phase initialisation; the types and the interned item tags
// live in the module's state, not in process-wide statics.

#include <initializer_list>

#include "bindings/columns_functions.hpp"
#include "bindings/heap_type.hpp"
#include "bindings/line_feeder_type.hpp"
#include "bindings/mapped_file_type.hpp"
#include "bindings/shard_reader_type.hpp"
#include "bindings/python.hpp"

namespace fenmor::python {

namespace {

int exec_module(PyObject* module) {
  auto* state = static_cast<ReplayModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return -1;
  state->checkpoint_tag = PyUnicode_InternFromString("checkpoint");
  state->bad_tag = PyUnicode_InternFromString("bad");
  if (state->checkpoint_tag == nullptr || state->bad_tag == nullptr) return -1;
  state->line_feeder_type = make_line_feeder_type(module);
  if (state->line_feeder_type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "LineFeeder", state->line_feeder_type) < 0) return -1;
  state->shard_reader_type = make_shard_reader_type(module);
  if (state->shard_reader_type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "ShardReader", state->shard_reader_type) < 0) return -1;
  PyObject* mapped_file_type = make_mapped_file_type(module);
  if (mapped_file_type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "MappedFile", mapped_file_type);
  Py_DecRef(mapped_file_type);
  if (added < 0) return -1;
  PyObject* all = Py_BuildValue("[ssssss]", "LineFeeder", "MappedFile", "ShardReader", "line_columns",
                                "row_lines", "symbol_hash");
  if (all == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, "__all__", all);
  Py_DecRef(all);
  return status;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ReplayModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  for (PyObject* type : {state->line_feeder_type, state->shard_reader_type}) {
    if (type != nullptr) {
      if (const int status = visit(type, arg)) return status;
    }
  }
  return 0;
}

int clear_module(PyObject* module) {
  auto* state = static_cast<ReplayModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  for (PyObject** slot : {&state->line_feeder_type, &state->shard_reader_type,
                          &state->checkpoint_tag, &state->bad_tag}) {
    PyObject* value = *slot;
    *slot = nullptr;
    if (value != nullptr) Py_DecRef(value);
  }
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyMethodDef module_methods[] = {
    {"symbol_hash", symbol_hash_function, METH_O,
     "symbol_hash(symbol, /)\n--\n\n"
     "The 64-bit routing hash of a symbol's UTF-8 bytes (FNV-1a, then the\n"
     "MurmurHash3 finaliser): a line goes to shard symbol_hash(symbol) % shards."},
    {"row_lines", as_cfunction(row_lines_function), METH_FASTCALL,
     "row_lines(batch, first_row, /)\n--\n\n"
     "The rows of an Arrow record batch of events as recording lines (bytes), and\n"
     "the rows left out: (row, message, field) as a replay reports them."},
    {"line_columns", as_cfunction(line_columns_function), METH_FASTCALL,
     "line_columns(data, first_line, /)\n--\n\n"
     "Recording lines made into event columns: (rows, [(name, type, validity,\n"
     "values, dictionary)], [(line, message, field)] of the lines left out)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_fenmor_replay",
    "The native replay module (`fenmor_radar._fenmor_replay`).",
    static_cast<Py_ssize_t>(sizeof(ReplayModuleState)),
    module_methods,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace fenmor::python

PyMODINIT_FUNC PyInit__fenmor_replay() {
  return PyModuleDef_Init(&fenmor::python::module_definition);
}
