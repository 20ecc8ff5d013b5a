#include "bindings/heap_type.hpp"
#include "bindings/shard_reader_type.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/arrow_batch.hpp"
#include "bindings/mapped_file_type.hpp"
#include "bindings/python_errors.hpp"
#include "bindings/replay_values.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/replay/event_packet.hpp"
#include "crates/radar-core/src/replay/shard_reader.hpp"
#include "crates/radar-core/src/replay/symbol_route.hpp"

namespace fenmor::python {

namespace {

// Not bound to a thread: a Dask actor may call it from any thread, one call
// at a time (RuntimeError otherwise), since reading releases the
// interpreter lock.
struct ShardReaderObject {
  PyObject header;
  replay::ShardReader* reader;
  std::uint8_t in_use;  // accessed atomically
};

constexpr std::string_view type_name = "ShardReader";

ShardReaderObject* as_reader(PyObject* self) { return reinterpret_cast<ShardReaderObject*>(self); }

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"specs", "shard", "shards", "every_ts", "unit_lines", nullptr};
  PyObject* specs = nullptr;
  unsigned long long shard = 0;
  unsigned long long shards = 0;
  PyObject* every_ts = Py_None;
  unsigned long long unit_lines = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O$KKOK:ShardReader", const_cast<char**>(keywords),
                                   &specs, &shard, &shards, &every_ts, &unit_lines)) {
    return nullptr;
  }
  if (shards == 0 || shard >= shards) {
    return raise(PyExc_ValueError, "ShardReader() needs shards > 0 and 0 <= shard < shards");
  }
  if (unit_lines == 0) return raise(PyExc_ValueError, "ShardReader() needs unit_lines > 0");
  std::optional<std::uint64_t> period;
  if (!read_period(every_ts, "every_ts", period)) return nullptr;
  auto radars = read_specs(specs, "ShardReader()");
  if (!radars) return nullptr;
  PyObject* self = new_instance(type);
  if (self == nullptr) return nullptr;
  ShardReaderObject* object = as_reader(self);
  object->reader = new replay::ShardReader(std::move(*radars), shard, shards, period, unit_lines);
  object->in_use = 0;
  return self;
}

void reader_dealloc(PyObject* self) {
  delete as_reader(self)->reader;
  as_reader(self)->reader = nullptr;
  free_instance(self);
}

PyObject* reader_start_part(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"starts_file", nullptr};
  int starts_file = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$p:start_part", const_cast<char**>(keywords),
                                   &starts_file)) {
    return nullptr;
  }
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  object->reader->start_part(starts_file != 0);
  Py_RETURN_NONE;
}

PyObject* raise_unit_full() {
  return raise(PyExc_ValueError, "the ShardReader's unit is full: take_unit() before reading on");
}

PyObject* reader_read(PyObject* self, PyObject* args) {
  PyObject* block = nullptr;
  Py_ssize_t start = 0;
  Py_ssize_t stop = -1;
  if (!PyArg_ParseTuple(args, "O|nn:read", &block, &start, &stop)) return nullptr;
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  const char* data = nullptr;
  Py_ssize_t size = 0;
  std::string_view mapped;
  // A bytearray lets the caller refill one buffer instead of allocating
  // every block anew (fresh memory costs a page fault per 4 KiB); a mapped
  // file is read where it lies.
  if (mapped_file_bytes(block, mapped)) {
    data = mapped.data();
    size = static_cast<Py_ssize_t>(mapped.size());
  } else if (PyByteArray_Check(block)) {
    data = PyByteArray_AsString(block);
    size = PyByteArray_Size(block);
  } else if (!PyBytes_Check(block)) {
    return raise_type_mismatch(block, "bytes, bytearray or MappedFile");
  } else {
    char* bytes = nullptr;
    if (PyBytes_AsStringAndSize(block, &bytes, &size) < 0) return nullptr;
    data = bytes;
  }
  if (stop < 0) stop = size;
  if (start < 0 || start > stop || stop > size) {
    return raise(PyExc_ValueError, "read() needs 0 <= start <= stop <= len(block)");
  }
  const std::string_view text(data + start, static_cast<std::size_t>(stop - start));
  if (!text.empty() && object->reader->unit_full()) return raise_unit_full();
  // The block is referenced by the call and not resized during it (one call
  // at a time); what the reader keeps of it is copied.
  PyThreadState* thread = PyEval_SaveThread();
  const bool full = object->reader->read(text);
  PyEval_RestoreThread(thread);
  return PyBool_FromLong(full ? 1 : 0);
}

PyObject* reader_read_rows(PyObject* self, PyObject* args) {
  PyObject* batch = nullptr;
  Py_ssize_t first = 0;
  if (!PyArg_ParseTuple(args, "O|n:read_rows", &batch, &first)) return nullptr;
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  ArrowBatch arrow;
  if (!arrow.open(batch, "read_rows()")) return nullptr;
  const auto columns = arrow.columns();
  if (!columns) return nullptr;
  if (first < 0 || static_cast<std::size_t>(first) > columns->rows) {
    return raise(PyExc_ValueError, "read_rows() needs 0 <= first <= the batch's rows");
  }
  if (static_cast<std::size_t>(first) < columns->rows && object->reader->unit_full()) return raise_unit_full();
  // The capsules keep the batch alive and unchanged for the call; the reader
  // copies what it keeps of it.
  PyThreadState* thread = PyEval_SaveThread();
  const std::size_t next = object->reader->read_rows(*columns, static_cast<std::size_t>(first));
  const bool full = object->reader->unit_full();
  PyEval_RestoreThread(thread);
  return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(next), full ? Py_True : Py_False);
}

PyObject* reader_end_part(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"complete", nullptr};
  int complete = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$p:end_part", const_cast<char**>(keywords),
                                   &complete)) {
    return nullptr;
  }
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  PyThreadState* thread = PyEval_SaveThread();
  const bool more = object->reader->end_part(complete != 0);
  PyEval_RestoreThread(thread);
  return PyBool_FromLong(more ? 1 : 0);
}

PyObject* bad_tuple(const replay::UnitBadLine& bad) {
  PyObject* field = optional_str(bad.field);
  if (field == nullptr) return nullptr;
  PyObject* tuple = Py_BuildValue("(Ks#O)", static_cast<unsigned long long>(bad.line),
                                  bad.message.data(), static_cast<Py_ssize_t>(bad.message.size()),
                                  field);
  Py_DecRef(field);
  return tuple;
}

// (lines, events, blank line numbers, bad lines as (line, message, field),
// records as (line, ts)).
PyObject* report_tuple(const replay::UnitReport& report) {
  PyObject* blank = PyList_New(static_cast<Py_ssize_t>(report.blank.size()));
  PyObject* bad = PyList_New(static_cast<Py_ssize_t>(report.bad.size()));
  PyObject* records = PyList_New(static_cast<Py_ssize_t>(report.records.size()));
  bool ok = blank != nullptr && bad != nullptr && records != nullptr;
  for (std::size_t i = 0; ok && i < report.blank.size(); ++i) {
    PyObject* number = PyLong_FromUnsignedLongLong(report.blank[i]);
    ok = number != nullptr && PyList_SetItem(blank, static_cast<Py_ssize_t>(i), number) == 0;
  }
  for (std::size_t i = 0; ok && i < report.bad.size(); ++i) {
    PyObject* item = bad_tuple(report.bad[i]);
    ok = item != nullptr && PyList_SetItem(bad, static_cast<Py_ssize_t>(i), item) == 0;
  }
  for (std::size_t i = 0; ok && i < report.records.size(); ++i) {
    const replay::UnitRecord& record = report.records[i];
    PyObject* item = Py_BuildValue("(KL)", static_cast<unsigned long long>(record.line),
                                   static_cast<long long>(record.ts));
    ok = item != nullptr && PyList_SetItem(records, static_cast<Py_ssize_t>(i), item) == 0;
  }
  PyObject* tuple = ok ? Py_BuildValue("(KKOOO)", static_cast<unsigned long long>(report.lines),
                                       static_cast<unsigned long long>(report.events), blank, bad,
                                       records)
                       : nullptr;
  for (PyObject* list : {blank, bad, records}) {
    if (list != nullptr) Py_DecRef(list);
  }
  return tuple;
}

PyObject* reader_take_unit(PyObject* self, PyObject* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  return report_tuple(object->reader->take_unit());
}

PyObject* reader_pack_units(PyObject* self, PyObject* args) {
  unsigned long long shards = 0;
  if (!PyArg_ParseTuple(args, "K:pack_units", &shards)) return nullptr;
  if (shards == 0) return raise(PyExc_ValueError, "pack_units() needs shards > 0");
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  object->reader->pack_units(shards);
  Py_RETURN_NONE;
}

PyObject* reader_take_unit_events(PyObject* self, PyObject* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  PyThreadState* thread = PyEval_SaveThread();
  const std::span<const fenmor::replay::PacketWriter> packets = object->reader->take_unit_events();
  PyEval_RestoreThread(thread);
  // Each packet written once, straight into its bytes object.
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(packets.size()));
  if (list == nullptr) return nullptr;
  std::vector<std::span<char>> targets;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const auto size = static_cast<Py_ssize_t>(packets[i].size());
    PyObject* packet = PyBytes_FromStringAndSize(nullptr, size);
    if (packet == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), packet) != 0) {
      Py_DecRef(list);
      return nullptr;
    }
    targets.emplace_back(PyBytes_AsString(packet), static_cast<std::size_t>(size));
  }
  // The bytes objects are this call's alone until it returns.
  thread = PyEval_SaveThread();
  for (std::size_t i = 0; i < packets.size(); ++i) packets[i].write(targets[i]);
  PyEval_RestoreThread(thread);
  return list;
}

PyObject* reader_add_unit_events(PyObject* self, PyObject* packet) {
  if (!PyBytes_Check(packet)) return raise_type_mismatch(packet, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(packet, &data, &size) < 0) return nullptr;
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  // Bytes are immutable: the packet stays as it is while the lock is released.
  PyThreadState* thread = PyEval_SaveThread();
  const bool ok = object->reader->add_unit_events(std::string_view(data, static_cast<std::size_t>(size)));
  PyEval_RestoreThread(thread);
  if (!ok) return raise(PyExc_ValueError, "add_unit_events(): not a packet of take_unit_events()");
  Py_RETURN_NONE;
}

PyObject* reader_apply(PyObject* self, PyObject* args) {
  unsigned long long unit = 0;
  unsigned long long line = 0;
  if (!PyArg_ParseTuple(args, "KK:apply", &unit, &line)) return nullptr;
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  PyThreadState* thread = PyEval_SaveThread();
  object->reader->apply(unit, line);
  PyEval_RestoreThread(thread);
  Py_RETURN_NONE;
}

PyObject* reader_alerts(PyObject* self, PyObject* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  return replies_tuple(object->reader->alerts());
}

PyObject* reader_watch_crossings(PyObject* self, PyObject* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  object->reader->watch_crossings();
  Py_RETURN_NONE;
}

PyObject* reader_watch_peaks(PyObject* self, PyObject* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  object->reader->watch_peaks();
  Py_RETURN_NONE;
}

// Per radar, a list of (severity, symbol, peaks entry JSON).
PyObject* reader_take_peaks(PyObject* self, PyObject* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  const std::vector<std::vector<replay::ShardPeak>> peaks = object->reader->take_peaks();
  PyObject* result = PyTuple_New(static_cast<Py_ssize_t>(peaks.size()));
  if (result == nullptr) return nullptr;
  for (std::size_t r = 0; r < peaks.size(); ++r) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(peaks[r].size()));
    if (list == nullptr || PyTuple_SetItem(result, static_cast<Py_ssize_t>(r), list) < 0) {
      Py_DecRef(result);
      return nullptr;
    }
    for (std::size_t i = 0; i < peaks[r].size(); ++i) {
      const replay::ShardPeak& peak = peaks[r][i];
      PyObject* item = Py_BuildValue("(ds#s#)", peak.severity, peak.symbol.data(),
                                     static_cast<Py_ssize_t>(peak.symbol.size()), peak.text.data(),
                                     static_cast<Py_ssize_t>(peak.text.size()));
      if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
        Py_DecRef(result);
        return nullptr;
      }
    }
  }
  return result;
}

// (unit, line, direction, spec, symbol, ts, severity, alert JSON) per crossing.
PyObject* reader_take_crossings(PyObject* self, PyObject* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  const std::vector<replay::ShardCrossing> crossings = object->reader->take_crossings();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(crossings.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < crossings.size(); ++i) {
    const replay::Crossing& crossing = crossings[i].crossing;
    const Alert& alert = crossing.alert;
    std::string text;
    write_alert(text, alert, object->reader->factor_names(crossing.spec));
    const std::string_view direction = replay::direction_name(crossing.direction);
    PyObject* item = Py_BuildValue(
        "(KKs#Is#Lds#)", static_cast<unsigned long long>(crossings[i].unit),
        static_cast<unsigned long long>(crossing.line), direction.data(),
        static_cast<Py_ssize_t>(direction.size()), static_cast<unsigned int>(crossing.spec),
        alert.symbol.data(), static_cast<Py_ssize_t>(alert.symbol.size()),
        static_cast<long long>(alert.ts), alert.severity, text.data(),
        static_cast<Py_ssize_t>(text.size()));
    if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
      Py_DecRef(list);
      return nullptr;
    }
  }
  return list;
}

PyObject* reader_symbols(PyObject* self, PyObject* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  const auto& symbols = object->reader->symbols();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(symbols.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    // Symbols of accepted events are valid UTF-8.
    PyObject* text = new_str(symbols[i]);
    if (text == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), text) < 0) {
      Py_DecRef(list);
      return nullptr;
    }
  }
  return list;
}

PyObject* reader_clock(PyObject* self, void* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  return optional_int(object->reader->clock());
}

PyObject* reader_backwards(PyObject* self, void* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(object->reader->backwards()));
}

PyObject* reader_first_backwards(PyObject* self, void* /*unused*/) {
  ShardReaderObject* object = as_reader(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  const auto first = object->reader->first_backwards();
  if (!first) Py_RETURN_NONE;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(first->first),
                       static_cast<unsigned long long>(first->second));
}

constexpr const char* reader_doc =
    "ShardReader(specs, *, shard, shards, every_ts, unit_lines)\n--\n\n"
    "One shard of a replay by parts: reads every part in units of lines, decodes its own\n"
    "lines once and keeps their events until applied up to the lines named.";

PyMethodDef reader_methods[] = {
    {"start_part", as_cfunction(reader_start_part), METH_VARARGS | METH_KEYWORDS,
     "start_part($self, /, *, starts_file)\n--\n\nThe next part begins; its first unit too."},
    {"read", reader_read, METH_VARARGS,
     "read($self, block, start=0, stop=-1, /)\n--\n\n"
     "The part's next bytes, block[start:stop] (bytes, bytearray or MappedFile); whether the\n"
     "unit is full (the rest held back: b'' resumes)."},
    {"read_rows", reader_read_rows, METH_VARARGS,
     "read_rows($self, batch, first=0, /)\n--\n\n"
     "The part's next rows instead of bytes: an Arrow record batch of a columnar recording,\n"
     "from row `first`, each row a line; (the row after the last taken, whether the unit is\n"
     "full: take it, then go on from that row)."},
    {"end_part", as_cfunction(reader_end_part), METH_VARARGS | METH_KEYWORDS,
     "end_part($self, /, *, complete)\n--\n\n"
     "The part's bytes are all given; whether the unit filled before its end (take it, call again)."},
    {"take_unit", reader_take_unit, METH_NOARGS,
     "take_unit($self, /)\n--\n\n"
     "The unit's report (lines, events, blank, bad, records); its events are kept."},
    {"pack_units", reader_pack_units, METH_VARARGS,
     "pack_units($self, shards, /)\n--\n\n"
     "Before the first part: from now on each unit's events are packed per shard of `shards`\n"
     "(by symbol hash) as read, for shards that do not read it, instead of kept for applying."},
    {"take_unit_events", reader_take_unit_events, METH_NOARGS,
     "take_unit_events($self, /)\n--\n\n"
     "The oldest unit taken, removed: its packets, one per shard of pack_units(), in line order."},
    {"add_unit_events", reader_add_unit_events, METH_O,
     "add_unit_events($self, packet, /)\n--\n\n"
     "A packet of take_unit_events() kept as the next unit, as if read here; ValueError when\n"
     "the bytes are not one."},
    {"apply", reader_apply, METH_VARARGS,
     "apply($self, unit, line, /)\n--\n\n"
     "Applies the kept events of the units before `unit`, and of `unit` up to `line`."},
    {"alerts", reader_alerts, METH_NOARGS,
     "alerts($self, /)\n--\n\nThe current alerts reply of each radar, in spec order."},
    {"watch_crossings", reader_watch_crossings, METH_NOARGS,
     "watch_crossings($self, /)\n--\n\n"
     "From now on, each applied event's symbol is watched for crossings, as LineFeeder does."},
    {"watch_peaks", reader_watch_peaks, METH_NOARGS,
     "watch_peaks($self, /)\n--\n\n"
     "From now on, peaks are kept between takes, as LineFeeder keeps them between checkpoints."},
    {"take_peaks", reader_take_peaks, METH_NOARGS,
     "take_peaks($self, /)\n--\n\n"
     "Per spec, the symbols that alerted since the last take (those alerting now included) as\n"
     "(severity, symbol, peaks entry JSON); then the next interval starts."},
    {"take_crossings", reader_take_crossings, METH_NOARGS,
     "take_crossings($self, /)\n--\n\n"
     "The crossings of the events applied since the last call, in input order: (unit, line,\n"
     "direction, spec, symbol, ts, severity, alert)."},
    {"symbols", reader_symbols, METH_NOARGS,
     "symbols($self, /)\n--\n\nThe symbols of the events applied, in order of appearance."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"clock", reader_clock, nullptr, "Largest ts applied, None before the first.", nullptr},
    {"backwards", reader_backwards, nullptr,
     "Events applied whose ts is below an earlier one of their symbol.", nullptr},
    {"first_backwards", reader_first_backwards, nullptr,
     "(unit, line) of the first such event, None while there is none.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(reader_doc)},
    {Py_tp_new, as_slot(reader_new)},
    {Py_tp_dealloc, as_slot(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "fenmor_radar._native.ShardReader",
    static_cast<int>(sizeof(ShardReaderObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    reader_slots,
};

}  // namespace

PyObject* make_shard_reader_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &reader_spec, nullptr);
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
