#include "bindings/heap_type.hpp"
#include "bindings/shard_feeder_type.hpp"

#include <cstdint>
#include <string_view>
#include <utility>

#include "bindings/python_errors.hpp"
#include "bindings/replay_values.hpp"
#include "crates/radar-core/src/replay/shard_feeder.hpp"
#include "crates/radar-core/src/replay/symbol_route.hpp"

namespace fenmor::python {

namespace {

// Not bound to a thread: a Dask actor may call it from any thread, one call
// at a time (RuntimeError otherwise), since feeding releases the
// interpreter lock.
struct ShardFeederObject {
  PyObject header;
  replay::ShardFeeder* feeder;
  std::uint8_t in_use;  // accessed atomically
};

constexpr std::string_view type_name = "ShardFeeder";

ShardFeederObject* as_feeder(PyObject* self) { return reinterpret_cast<ShardFeederObject*>(self); }

PyObject* feeder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"specs", "shard", "shards", nullptr};
  PyObject* specs = nullptr;
  unsigned long long shard = 0;
  unsigned long long shards = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O$KK:ShardFeeder", const_cast<char**>(keywords),
                                   &specs, &shard, &shards)) {
    return nullptr;
  }
  if (shards == 0 || shard >= shards) {
    return raise(PyExc_ValueError, "ShardFeeder() needs shards > 0 and 0 <= shard < shards");
  }
  auto radars = read_specs(specs, "ShardFeeder()");
  if (!radars) return nullptr;
  PyObject* self = new_instance(type);
  if (self == nullptr) return nullptr;
  ShardFeederObject* object = as_feeder(self);
  object->feeder = new replay::ShardFeeder(std::move(*radars), shard, shards);
  object->in_use = 0;
  return self;
}

void feeder_dealloc(PyObject* self) {
  delete as_feeder(self)->feeder;
  as_feeder(self)->feeder = nullptr;
  free_instance(self);
}

PyObject* feeder_start_part(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"starts_file", nullptr};
  int starts_file = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$p:start_part", const_cast<char**>(keywords),
                                   &starts_file)) {
    return nullptr;
  }
  ShardFeederObject* object = as_feeder(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  object->feeder->start_part(starts_file != 0);
  Py_RETURN_NONE;
}

PyObject* feeder_feed(PyObject* self, PyObject* args) {
  PyObject* block = nullptr;
  unsigned long long until = 0;
  if (!PyArg_ParseTuple(args, "OK:feed", &block, &until)) return nullptr;
  ShardFeederObject* object = as_feeder(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  if (!PyBytes_Check(block)) return raise_type_mismatch(block, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return nullptr;
  // The bytes object is immutable and referenced by the call.
  PyThreadState* thread = PyEval_SaveThread();
  const bool reached = object->feeder->feed(std::string_view(data, static_cast<std::size_t>(size)), until);
  PyEval_RestoreThread(thread);
  return PyBool_FromLong(reached ? 1 : 0);
}

PyObject* feeder_end_part(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"complete", "until", nullptr};
  int complete = 1;
  unsigned long long until = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$pK:end_part", const_cast<char**>(keywords),
                                   &complete, &until)) {
    return nullptr;
  }
  ShardFeederObject* object = as_feeder(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  PyThreadState* thread = PyEval_SaveThread();
  const bool ended = object->feeder->end_part(complete != 0, until);
  PyEval_RestoreThread(thread);
  return PyBool_FromLong(ended ? 1 : 0);
}

PyObject* feeder_alerts(PyObject* self, PyObject* /*unused*/) {
  ShardFeederObject* object = as_feeder(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  return replies_tuple(object->feeder->alerts());
}

PyObject* feeder_symbols(PyObject* self, PyObject* /*unused*/) {
  ShardFeederObject* object = as_feeder(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  const auto& symbols = object->feeder->symbols();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(symbols.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    // Symbols of accepted events are valid UTF-8; surrogatepass-free.
    PyObject* text = new_str(symbols[i]);
    if (text == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), text) < 0) {
      Py_DecRef(list);
      return nullptr;
    }
  }
  return list;
}

enum class Counter : std::uint8_t { Lines, Clock };

PyObject* feeder_counter(PyObject* self, void* closure) {
  ShardFeederObject* object = as_feeder(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  switch (static_cast<Counter>(reinterpret_cast<std::uintptr_t>(closure))) {
    case Counter::Lines: return PyLong_FromUnsignedLongLong(object->feeder->lines());
    case Counter::Clock: return optional_int(object->feeder->clock());
  }
  return nullptr;
}

void* counter(Counter which) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(which)); }

constexpr const char* feeder_doc =
    "ShardFeeder(specs, *, shard, shards)\n--\n\n"
    "One shard's radars, fed the lines of its symbols from parts in input order.";

PyMethodDef feeder_methods[] = {
    {"start_part", as_cfunction(feeder_start_part), METH_VARARGS | METH_KEYWORDS,
     "start_part($self, /, *, starts_file)\n--\n\nThe next part begins; its lines count from 1."},
    {"feed", feeder_feed, METH_VARARGS,
     "feed($self, block, until, /)\n--\n\n"
     "The part's next bytes, fed up to line `until`; whether that line was reached."},
    {"end_part", as_cfunction(feeder_end_part), METH_VARARGS | METH_KEYWORDS,
     "end_part($self, /, *, complete, until)\n--\n\n"
     "The part's bytes are all given; whether every line of it has been fed."},
    {"alerts", feeder_alerts, METH_NOARGS,
     "alerts($self, /)\n--\n\nThe current alerts reply of each radar, in spec order."},
    {"symbols", feeder_symbols, METH_NOARGS,
     "symbols($self, /)\n--\n\nThe symbols of the events fed, in order of appearance."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef feeder_getset[] = {
    {"lines", feeder_counter, nullptr, "Lines of the current part read.", counter(Counter::Lines)},
    {"clock", feeder_counter, nullptr, "Largest ts fed, None before the first.",
     counter(Counter::Clock)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot feeder_slots[] = {
    {Py_tp_doc, const_cast<char*>(feeder_doc)},
    {Py_tp_new, as_slot(feeder_new)},
    {Py_tp_dealloc, as_slot(feeder_dealloc)},
    {Py_tp_methods, feeder_methods},
    {Py_tp_getset, feeder_getset},
    {0, nullptr},
};

PyType_Spec feeder_spec = {
    "fenmor_radar._fenmor_replay.ShardFeeder",
    static_cast<int>(sizeof(ShardFeederObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    feeder_slots,
};

}  // namespace

PyObject* make_shard_feeder_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &feeder_spec, nullptr);
}

PyObject* symbol_hash_function(PyObject* /*module*/, PyObject* symbol) {
  if (!PyUnicode_Check(symbol)) return raise_type_mismatch(symbol, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(symbol, &size);
  if (utf8 == nullptr) return nullptr;
  return PyLong_FromUnsignedLongLong(
      replay::symbol_hash(std::string_view(utf8, static_cast<std::size_t>(size))));
}

}  // namespace fenmor::python
