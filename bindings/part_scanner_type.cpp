#include "bindings/heap_type.hpp"
#include "bindings/part_scanner_type.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include "bindings/python_errors.hpp"
#include "bindings/replay_values.hpp"
#include "crates/radar-core/src/replay/part_scanner.hpp"

namespace fenmor::python {

namespace {

// Not bound to a thread; one call at a time (RuntimeError otherwise), since
// scanning releases the interpreter lock.
struct PartScannerObject {
  PyObject header;
  replay::PartScanner* scanner;
  std::uint8_t in_use;  // accessed atomically
  bool finished;
};

constexpr std::string_view type_name = "PartScanner";

PartScannerObject* as_scanner(PyObject* self) { return reinterpret_cast<PartScannerObject*>(self); }

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"every_ts", "starts_file", nullptr};
  PyObject* every_ts = nullptr;
  int starts_file = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$p:PartScanner", const_cast<char**>(keywords),
                                   &every_ts, &starts_file)) {
    return nullptr;
  }
  std::optional<std::uint64_t> period;
  if (!read_period(every_ts, "every_ts", period)) return nullptr;
  PyObject* self = new_instance(type);
  if (self == nullptr) return nullptr;
  PartScannerObject* object = as_scanner(self);
  object->scanner = new replay::PartScanner(period, starts_file != 0);
  object->in_use = 0;
  object->finished = false;
  return self;
}

void scanner_dealloc(PyObject* self) {
  delete as_scanner(self)->scanner;
  as_scanner(self)->scanner = nullptr;
  free_instance(self);
}

PyObject* bad_tuple(const replay::PartBadLine& bad) {
  PyObject* field = bad.field ? new_str(*bad.field) : (Py_IncRef(Py_None), Py_None);
  if (field == nullptr) return nullptr;
  PyObject* tuple = Py_BuildValue("(Ks#O)", static_cast<unsigned long long>(bad.line),
                                  bad.message.data(), static_cast<Py_ssize_t>(bad.message.size()),
                                  field);
  Py_DecRef(field);
  return tuple;
}

// (blank line numbers, bad lines as (line, message, field), records as (k, ts)).
PyObject* findings_tuple(const replay::PartFindings& findings) {
  PyObject* blank = PyList_New(static_cast<Py_ssize_t>(findings.blank.size()));
  PyObject* bad = PyList_New(static_cast<Py_ssize_t>(findings.bad.size()));
  PyObject* records = PyList_New(static_cast<Py_ssize_t>(findings.records.size()));
  bool ok = blank != nullptr && bad != nullptr && records != nullptr;
  for (std::size_t i = 0; ok && i < findings.blank.size(); ++i) {
    PyObject* number = PyLong_FromUnsignedLongLong(findings.blank[i]);
    ok = number != nullptr && PyList_SetItem(blank, static_cast<Py_ssize_t>(i), number) == 0;
  }
  for (std::size_t i = 0; ok && i < findings.bad.size(); ++i) {
    PyObject* item = bad_tuple(findings.bad[i]);
    ok = item != nullptr && PyList_SetItem(bad, static_cast<Py_ssize_t>(i), item) == 0;
  }
  for (std::size_t i = 0; ok && i < findings.records.size(); ++i) {
    const replay::PartRecord& record = findings.records[i];
    PyObject* item = Py_BuildValue("(KL)", static_cast<unsigned long long>(record.events_before),
                                   static_cast<long long>(record.ts));
    ok = item != nullptr && PyList_SetItem(records, static_cast<Py_ssize_t>(i), item) == 0;
  }
  PyObject* tuple = ok ? PyTuple_Pack(3, blank, bad, records) : nullptr;
  for (PyObject* list : {blank, bad, records}) {
    if (list != nullptr) Py_DecRef(list);
  }
  return tuple;
}

PyObject* raise_finished() {
  return raise(PyExc_ValueError, "the PartScanner has finished: no more input is taken");
}

PyObject* scanner_feed(PyObject* self, PyObject* block) {
  PartScannerObject* object = as_scanner(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  if (object->finished) return raise_finished();
  if (!PyBytes_Check(block)) return raise_type_mismatch(block, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return nullptr;
  replay::PartFindings findings;
  // The bytes object is immutable and referenced by the call.
  PyThreadState* thread = PyEval_SaveThread();
  object->scanner->feed(std::string_view(data, static_cast<std::size_t>(size)), findings);
  PyEval_RestoreThread(thread);
  return findings_tuple(findings);
}

PyObject* scanner_finish(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"complete", nullptr};
  int complete = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$p:finish", const_cast<char**>(keywords),
                                   &complete)) {
    return nullptr;
  }
  PartScannerObject* object = as_scanner(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  if (object->finished) return raise_finished();
  object->finished = true;
  replay::PartFindings findings;
  object->scanner->finish(complete != 0, findings);
  return findings_tuple(findings);
}

enum class Counter : std::uint8_t { Lines, Events, MaxTs };

PyObject* scanner_counter(PyObject* self, void* closure) {
  PartScannerObject* object = as_scanner(self);
  Use use(object->in_use, type_name);
  if (!use.ok()) return nullptr;
  const replay::PartScanner& scanner = *object->scanner;
  switch (static_cast<Counter>(reinterpret_cast<std::uintptr_t>(closure))) {
    case Counter::Lines: return PyLong_FromUnsignedLongLong(scanner.lines());
    case Counter::Events: return PyLong_FromUnsignedLongLong(scanner.events());
    case Counter::MaxTs: return optional_int(scanner.max_ts());
  }
  return nullptr;
}

void* counter(Counter which) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(which)); }

constexpr const char* scanner_doc =
    "PartScanner(every_ts=None, *, starts_file=True)\n--\n\n"
    "One part of a recording judged line by line as a replay judges it, nothing fed.";
constexpr const char* feed_doc =
    "feed($self, block, /)\n--\n\n"
    "The next bytes of the part; (blank lines, bad lines, records) they complete.";
constexpr const char* finish_doc =
    "finish($self, /, *, complete=True)\n--\n\n"
    "The end of the part: the carried last line (dropped unless complete).";

PyMethodDef scanner_methods[] = {
    {"feed", scanner_feed, METH_O, feed_doc},
    {"finish", as_cfunction(scanner_finish), METH_VARARGS | METH_KEYWORDS, finish_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scanner_getset[] = {
    {"lines", scanner_counter, nullptr, "Lines seen, blank ones included.", counter(Counter::Lines)},
    {"events", scanner_counter, nullptr, "Accepted events.", counter(Counter::Events)},
    {"max_ts", scanner_counter, nullptr, "Largest accepted ts, None before the first.",
     counter(Counter::MaxTs)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_doc, const_cast<char*>(scanner_doc)},
    {Py_tp_new, as_slot(scanner_new)},
    {Py_tp_dealloc, as_slot(scanner_dealloc)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_getset, scanner_getset},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "fenmor_radar._fenmor_replay.PartScanner",
    static_cast<int>(sizeof(PartScannerObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    scanner_slots,
};

}  // namespace

PyObject* make_part_scanner_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &scanner_spec, nullptr);
}

}  // namespace fenmor::python
