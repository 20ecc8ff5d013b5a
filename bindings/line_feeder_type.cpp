#include "bindings/heap_type.hpp"
#include "bindings/line_feeder_type.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "bindings/arguments.hpp"
#include "bindings/arrow_batch.hpp"
#include "bindings/native_state.hpp"
#include "bindings/python_errors.hpp"
#include "bindings/replay_values.hpp"
#include "bindings/tuple_of.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/replay/column_feeder.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor::python {

namespace {

// Not bound to a thread: the feeder owns no thread's memory (working buffers
// are the calling thread's), so any thread may use it and drop it. One call
// at a time: a call while another runs (possible because feeding releases
// the interpreter lock) raises RuntimeError instead of racing.
struct LineFeederObject {
  PyObject header;
  replay::LineFeeder* feeder;
  PyObject* pending_block;  // the bytes the feeder's pending lines refer to, or null
  std::uint8_t in_use;      // accessed atomically
  bool finished;
};

LineFeederObject* as_feeder(PyObject* self) { return reinterpret_cast<LineFeederObject*>(self); }

PyObject* feeder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"specs", "every_events", "every_ts", "strict",
                                   "crossings", "peaks", "room", "prices", nullptr};
  PyObject* specs = nullptr;
  PyObject* every_events = nullptr;
  PyObject* every_ts = nullptr;
  int strict = 0;
  int crossings = 0;
  int peaks = 0;
  Py_ssize_t room = static_cast<Py_ssize_t>(replay::LineFeeder::default_room);
  int prices = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOpppnp:LineFeeder", const_cast<char**>(keywords),
                                   &specs, &every_events, &every_ts, &strict, &crossings, &peaks,
                                   &room, &prices)) {
    return nullptr;
  }
  if (room <= 0) return raise(PyExc_ValueError, "room must be greater than zero");
  replay::CheckpointPolicy policy;
  if (!read_period(every_events, "every_events", policy.every_events)) return nullptr;
  if (!read_period(every_ts, "every_ts", policy.every_ts)) return nullptr;
  auto radars = read_specs(specs, "LineFeeder()");
  if (!radars) return nullptr;

  PyObject* self = new_instance(type);
  if (self == nullptr) return nullptr;
  LineFeederObject* object = as_feeder(self);
  object->feeder = new replay::LineFeeder(std::move(*radars), policy, strict != 0,
                                          replay::Watching{crossings != 0, peaks != 0},
                                          static_cast<std::size_t>(room));
  object->pending_block = nullptr;
  if (prices != 0) object->feeder->keep_prices();
  object->in_use = 0;
  object->finished = false;
  return self;
}

void feeder_dealloc(PyObject* self) {
  delete as_feeder(self)->feeder;
  as_feeder(self)->feeder = nullptr;
  Py_XDECREF(as_feeder(self)->pending_block);
  as_feeder(self)->pending_block = nullptr;
  free_instance(self);
}

// ("crossing", direction, spec, events, line, symbol, ts, severity, alert JSON).
PyObject* crossing_tuple(const replay::LineFeeder& feeder, const replay::Crossing& crossing) {
  std::string text;
  write_alert(text, crossing.alert, feeder.factor_names(crossing.spec));
  const std::string_view direction = replay::direction_name(crossing.direction);
  const Alert& alert = crossing.alert;
  return Py_BuildValue("(ss#IKKs#Lds#)", "crossing", direction.data(),
                       static_cast<Py_ssize_t>(direction.size()),
                       static_cast<unsigned int>(crossing.spec),
                       static_cast<unsigned long long>(crossing.events),
                       static_cast<unsigned long long>(crossing.line), alert.symbol.data(),
                       static_cast<Py_ssize_t>(alert.symbol.size()), static_cast<long long>(alert.ts),
                       alert.severity, text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* item_tuple(const NativeState& state, const replay::FeederItem& item) {
  if (const auto* checkpoint = std::get_if<replay::Checkpoint>(&item)) {
    PyObject* ts = optional_int(checkpoint->ts);
    PyObject* replies = ts == nullptr ? nullptr : replies_tuple(checkpoint->replies);
    PyObject* tuple = replies == nullptr ? nullptr
                                         : Py_BuildValue("(OKOO)", state.checkpoint_tag,
                                                         static_cast<unsigned long long>(checkpoint->events),
                                                         ts, replies);
    if (ts != nullptr) Py_DecRef(ts);
    if (replies != nullptr) Py_DecRef(replies);
    return tuple;
  }
  const auto* bad_line = std::get_if<replay::BadLine>(&item);
  if (bad_line == nullptr) return raise(PyExc_SystemError, "a crossing item out of place");
  const auto& bad = *bad_line;
  PyObject* field = optional_str(bad.field);
  if (field == nullptr) return nullptr;
  PyObject* tuple = Py_BuildValue("(OKs#O)", state.bad_tag,
                                  static_cast<unsigned long long>(bad.number), bad.message.data(),
                                  static_cast<Py_ssize_t>(bad.message.size()), field);
  Py_DecRef(field);
  return tuple;
}

// A checkpoint with peaks comes as ("peaks", one peaks JSON array per radar)
// right before it, so that a checkpoint's own item keeps its shape.
PyObject* items_list(PyObject* self, const std::vector<replay::FeederItem>& items) {
  const NativeState* state = native_state_of_instance(self);
  if (state == nullptr) return nullptr;
  const replay::LineFeeder& feeder = *as_feeder(self)->feeder;
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  const auto append = [&](PyObject* item) {
    const bool ok = item != nullptr && PyList_Append(list, item) == 0;
    if (item != nullptr) Py_DecRef(item);
    return ok;
  };
  for (const replay::FeederItem& item : items) {
    bool ok = true;
    if (const auto* crossing = std::get_if<replay::Crossing>(&item)) {
      ok = append(crossing_tuple(feeder, *crossing));
    } else if (const auto* lines = std::get_if<replay::CrossingLines>(&item)) {
      ok = append(Py_BuildValue("(ss#)", "crossing_lines", lines->text.data(),
                                static_cast<Py_ssize_t>(lines->text.size())));
    } else {
      const auto* checkpoint = std::get_if<replay::Checkpoint>(&item);
      if (checkpoint != nullptr && !checkpoint->peaks.empty()) {
        PyObject* peaks = replies_tuple(checkpoint->peaks);
        ok = peaks != nullptr && append(Py_BuildValue("(sN)", "peaks", peaks));
      }
      ok = ok && append(item_tuple(*state, item));
    }
    if (!ok) {
      Py_DecRef(list);
      return nullptr;
    }
  }
  return list;
}

PyObject* raise_finished() {
  return raise(PyExc_ValueError, "the LineFeeder has finished: no more input is taken");
}

PyObject* raise_pending(const char* call) {
  return raise(PyExc_ValueError, std::string("the LineFeeder has pending lines: call resume() until "
                                             "pending is False before ") + call + "()");
}

// Keeps the block alive while the feeder's pending lines refer to it.
void hold_block(LineFeederObject& object, PyObject* block) {
  PyObject* held = object.feeder->pending() ? block : nullptr;
  if (held == object.pending_block) return;
  Py_XINCREF(held);
  Py_XDECREF(object.pending_block);
  object.pending_block = held;
}

PyObject* feeder_feed(PyObject* self, PyObject* block) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  if (object->finished) return raise_finished();
  if (object->feeder->pending()) return raise_pending("feed");
  if (!PyBytes_Check(block)) return raise_type_mismatch(block, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return nullptr;
  std::vector<replay::FeederItem> items;
  // A bytes object never changes and the call holds a reference to it, so
  // the block is read without the interpreter lock: other Python threads
  // (a Dask worker's) run meanwhile. Nothing below touches a Python object.
  PyThreadState* thread = PyEval_SaveThread();
  object->feeder->feed(std::string_view(data, static_cast<std::size_t>(size)), items);
  PyEval_RestoreThread(thread);
  hold_block(*object, block);
  return items_list(self, items);
}

PyObject* feeder_resume(PyObject* self, PyObject* /*unused*/) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  std::vector<replay::FeederItem> items;
  PyThreadState* thread = PyEval_SaveThread();
  object->feeder->resume(items);
  PyEval_RestoreThread(thread);
  hold_block(*object, object->pending_block);
  return items_list(self, items);
}

PyObject* feeder_feed_columns(PyObject* self, PyObject* batch) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  if (object->finished) return raise_finished();
  if (object->feeder->pending()) return raise_pending("feed_columns");
  ArrowBatch arrow;
  if (!arrow.open(batch, "feed_columns()")) return nullptr;
  const auto columns = arrow.columns();
  if (!columns) return nullptr;
  if (!object->feeder->between_lines()) {
    return raise(PyExc_ValueError, "feed_columns(): the text fed before must end with a line break");
  }
  std::vector<replay::FeederItem> items;
  // The capsules keep the columns alive and unchanged for the call, and
  // after it while rows wait for resume().
  PyThreadState* thread = PyEval_SaveThread();
  replay::feed_columns(*object->feeder, *columns, items);
  PyEval_RestoreThread(thread);
  hold_block(*object, arrow.capsules());
  return items_list(self, items);
}

// None, or an int that fits 64 bits.
bool read_ts(PyObject* value, const char* name, std::optional<std::int64_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    raise(PyExc_TypeError, std::string(name) + " must be an int or None");
    return false;
  }
  const long long number = PyLong_AsLongLong(value);
  if (number == -1 && PyErr_Occurred() != nullptr) return false;
  out = number;
  return true;
}

PyObject* feeder_select(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"symbols", "from_ts", "to_ts", nullptr};
  PyObject* symbols = Py_None;
  PyObject* from_ts = Py_None;
  PyObject* to_ts = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:select", const_cast<char**>(keywords), &symbols,
                                   &from_ts, &to_ts)) {
    return nullptr;
  }
  replay::Selection selection;
  if (!read_ts(from_ts, "from_ts", selection.from_ts) || !read_ts(to_ts, "to_ts", selection.to_ts)) return nullptr;
  if (symbols != Py_None) {
    if (PyUnicode_Check(symbols)) return raise(PyExc_TypeError, "symbols must be an iterable of str, not a str");
    PyObject* iterator = PyObject_GetIter(symbols);
    if (iterator == nullptr) return nullptr;
    auto& names = selection.symbols.emplace();
    while (PyObject* item = PyIter_Next(iterator)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
      if (text == nullptr && !PyErr_Occurred()) raise_type_mismatch(item, "str");
      if (text != nullptr) names.emplace_back(text, static_cast<std::size_t>(size));
      Py_DecRef(item);
      if (text == nullptr) break;
    }
    Py_DecRef(iterator);
    if (PyErr_Occurred() != nullptr) return nullptr;
    std::sort(names.begin(), names.end());
  }
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  object->feeder->select(std::move(selection));
  Py_IncRef(Py_None);
  return Py_None;
}

PyObject* feeder_write_crossings(PyObject* self, PyObject* members) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  if (!PyList_Check(members) && !PyTuple_Check(members)) return raise_type_mismatch(members, "list");
  const Py_ssize_t count = PySequence_Size(members);
  if (count < 0) return nullptr;
  if (static_cast<std::size_t>(count) != object->feeder->radar_count()) {
    return raise(PyExc_ValueError, "write_crossings(): one text per spec");
  }
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_GetItem(members, i);
    if (item == nullptr) return nullptr;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (text == nullptr && PyErr_Occurred() == nullptr) raise_type_mismatch(item, "str");
    if (text != nullptr) texts.emplace_back(text, static_cast<std::size_t>(size));
    Py_DecRef(item);
    if (text == nullptr) return nullptr;
  }
  object->feeder->write_crossing_lines(std::move(texts));
  Py_RETURN_NONE;
}

PyObject* feeder_finish(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"complete", nullptr};
  int complete = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$p:finish", const_cast<char**>(keywords),
                                   &complete)) {
    return nullptr;
  }
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  if (object->finished) return raise_finished();
  if (object->feeder->pending()) return raise_pending("finish");
  object->finished = true;
  std::vector<replay::FeederItem> items;
  PyThreadState* thread = PyEval_SaveThread();
  object->feeder->finish(complete != 0, items);
  PyEval_RestoreThread(thread);
  return items_list(self, items);
}

PyObject* feeder_alerts(PyObject* self, PyObject* /*unused*/) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  return replies_tuple(object->feeder->alerts());
}

// The bytes of a vector of numbers, for numpy.frombuffer: one copy, no
// Python object per number.
template <typename Number>
PyObject* bytes_of(const std::vector<Number>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(Number)));
}

PyObject* prices_tuple(const std::string& symbol, const replay::SymbolPrices& prices) {
  PyObject* parts[6] = {bytes_of(prices.marks.ts),           bytes_of(prices.marks.price),
                        bytes_of(prices.marks.open_interest), bytes_of(prices.marks.funding_rate),
                        bytes_of(prices.mids.ts),            bytes_of(prices.mids.price)};
  PyObject* tuple = nullptr;
  if (std::all_of(std::begin(parts), std::end(parts), [](PyObject* part) { return part != nullptr; })) {
    tuple = Py_BuildValue("(s#OOOOOO)", symbol.data(), static_cast<Py_ssize_t>(symbol.size()),
                          parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]);
  }
  for (PyObject* part : parts) {
    if (part != nullptr) Py_DecRef(part);
  }
  return tuple;
}

PyObject* feeder_take_prices(PyObject* self, PyObject* /*unused*/) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  const std::vector<replay::SymbolPrices> taken = object->feeder->take_prices();
  const std::vector<std::string>& names = object->feeder->symbol_names();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(taken.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < taken.size(); ++i) {
    PyObject* item = prices_tuple(names[taken[i].symbol], taken[i]);
    if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
      Py_DecRef(list);
      return nullptr;
    }
  }
  return list;
}

std::vector<CompiledSpec> compiled_trials(const std::vector<RadarHandle>& radars) {
  std::vector<CompiledSpec> trials;
  trials.reserve(radars.size());
  for (const RadarHandle& radar : radars) trials.push_back(radar.compiled());
  return trials;
}

PyObject* feeder_sweep(PyObject* self, PyObject* specs) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  if (object->finished) return raise_finished();
  if (object->feeder->events() != 0 || object->feeder->trial_sweep() != nullptr) {
    return raise(PyExc_ValueError, "sweep(): call it once, before the first event is fed");
  }
  auto radars = read_specs(specs, "sweep()");
  if (!radars) return nullptr;
  object->feeder->sweep(replay::TrialSweep(compiled_trials(*radars)));
  Py_RETURN_NONE;
}

PyObject* sweep_tuple(const replay::SweepCrossings& found) {
  return tuple_of(5, [&](std::size_t column) {
    switch (column) {
      case 0: return bytes_of(found.symbol);
      case 1: return bytes_of(found.ts);
      case 2: return bytes_of(found.events);
      case 3: return bytes_of(found.severity);
      default: return bytes_of(found.alerting);
    }
  });
}

// One tuple of columns per trial, in the trials' order.
PyObject* sweep_list(const std::vector<replay::SweepCrossings>& taken) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(taken.size()));
  for (std::size_t i = 0; list != nullptr && i < taken.size(); ++i) {
    PyObject* item = sweep_tuple(taken[i]);
    if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
      Py_DecRef(list);
      list = nullptr;
    }
  }
  return list;
}

PyObject* feeder_take_sweep(PyObject* self, PyObject* /*unused*/) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  replay::TrialSweep* sweep = object->feeder->trial_sweep();
  if (sweep == nullptr) return raise(PyExc_ValueError, "take_sweep(): no sweep was set (call sweep() first)");
  const std::vector<replay::SweepCrossings> taken = sweep->take();
  const std::vector<std::string>& names = object->feeder->symbol_names();
  PyObject* symbols = replies_tuple(names);
  PyObject* trials = symbols == nullptr ? nullptr : sweep_list(taken);
  PyObject* result = trials == nullptr ? nullptr : Py_BuildValue("(OO)", symbols, trials);
  if (symbols != nullptr) Py_DecRef(symbols);
  if (trials != nullptr) Py_DecRef(trials);
  return result;
}

PyObject* feeder_keep_events(PyObject* self, PyObject* limit) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  if (object->finished) return raise_finished();
  if (object->feeder->events() != 0) return raise(PyExc_ValueError, "keep_events(): call it before the first event is fed");
  const Py_ssize_t count = PyNumber_AsSsize_t(limit, PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred() != nullptr) return nullptr;
  if (count < 0) return raise(PyExc_ValueError, "keep_events(): the limit must not be negative");
  object->feeder->keep_events(static_cast<std::size_t>(count));
  Py_RETURN_NONE;
}

PyObject* feeder_sweep_kept(PyObject* self, PyObject* specs) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  const replay::EventLog* log = object->feeder->kept_events();
  if (log == nullptr) {
    return raise(PyExc_ValueError, "sweep_kept(): no events kept (keep_events() was not called, or "
                                   "the recording had more events than its limit)");
  }
  auto radars = read_specs(specs, "sweep_kept()");
  if (!radars) return nullptr;
  const std::vector<CompiledSpec> trials = compiled_trials(*radars);
  // The log is only read, and the feeder is held by `use`.
  PyThreadState* thread = PyEval_SaveThread();
  const std::vector<replay::SweepCrossings> taken = replay::sweep_events(*log, trials);
  PyEval_RestoreThread(thread);
  return sweep_list(taken);
}

PyObject* feeder_kept_moments(PyObject* self, PyObject* /*unused*/) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  const replay::EventLog* log = object->feeder->kept_events();
  if (log == nullptr) return raise(PyExc_ValueError, "kept_moments(): no events kept");
  return tuple_of(2, [&](std::size_t column) {
    return column == 0 ? bytes_of(log->symbols) : bytes_of(replay::crossing_ts(*log));
  });
}

enum class Counter : std::uint8_t { Lines, Events, BadLines, Checkpoints, Symbols, Ts, Stopped, Pending,
                                     Backwards, FirstBackwards };

PyObject* feeder_counter(PyObject* self, void* closure) {
  LineFeederObject* object = as_feeder(self);
  Use use(object->in_use, "LineFeeder");
  if (!use.ok()) return nullptr;
  const replay::LineFeeder& feeder = *object->feeder;
  const auto as_int = [](std::uint64_t value) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
  };
  switch (static_cast<Counter>(reinterpret_cast<std::uintptr_t>(closure))) {
    case Counter::Lines: return as_int(feeder.lines());
    case Counter::Events: return as_int(feeder.events());
    case Counter::BadLines: return as_int(feeder.bad_lines());
    case Counter::Checkpoints: return as_int(feeder.checkpoints());
    case Counter::Symbols: return as_int(feeder.symbols());
    case Counter::Ts: return optional_int(feeder.ts());
    case Counter::Stopped: return PyBool_FromLong(feeder.stopped() ? 1 : 0);
    case Counter::Pending: return PyBool_FromLong(feeder.pending() ? 1 : 0);
    case Counter::Backwards: return as_int(feeder.backwards());
    case Counter::FirstBackwards:
      if (feeder.first_backwards() == 0) Py_RETURN_NONE;
      return as_int(feeder.first_backwards());
  }
  return nullptr;
}

void* counter(Counter which) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(which));
}

constexpr const char* feeder_doc =
    "LineFeeder(specs, *, every_events=None, every_ts=None, strict=False, crossings=False, "
    "peaks=False, room=4194304, prices=False)\n--\n\n"
    "A recording's JSON lines fed to one radar per spec, read once per line.\n\n"
    "A call returns once its items hold `room` bytes of text; the rest of the\n"
    "block then waits for resume() (pending is True).\n\n"
    "Not bound to a thread; one call at a time (RuntimeError otherwise). feed(),\n"
    "resume() and finish() release the interpreter lock while they work.";
constexpr const char* feed_doc =
    "feed($self, block, /)\n--\n\n"
    "The next bytes of the recording; the checkpoints and bad lines they complete,\n"
    "up to the room.";
constexpr const char* resume_doc =
    "resume($self, /)\n--\n\n"
    "More of the pending block's items, up to the room again.";
constexpr const char* feed_columns_doc =
    "feed_columns($self, batch, /)\n--\n\n"
    "The next rows of a columnar recording, an Arrow record batch (symbol, kind,\n"
    "ts, the numbers, side), numbered on from the lines so far; the checkpoints\n"
    "and bad rows they complete.";
constexpr const char* select_doc =
    "select($self, /, *, symbols=None, from_ts=None, to_ts=None)\n--\n\n"
    "From now on feed only events of these symbols with from_ts <= ts < to_ts\n"
    "(None: no bound); the others are skipped as blank lines are.";
constexpr const char* write_crossings_doc =
    "write_crossings($self, members, /)\n--\n\n"
    "From now on crossings come already written as JSON lines: each run of them\n"
    "between other items is one (\"crossing_lines\", text) item. members: per spec,\n"
    "the text its lines carry before \"events\" (\"\" or '\"spec\":NAME,').";
constexpr const char* finish_doc =
    "finish($self, /, *, complete=True)\n--\n\n"
    "The end of the input: the carried last line (dropped unless complete), then\n"
    "the final checkpoint when due.";
constexpr const char* take_prices_doc =
    "take_prices($self, /)\n--\n\n"
    "The prices seen since the last call (with prices=True), per symbol:\n"
    "(symbol, mark ts, mark prices, open interests, funding rates, mid ts,\n"
    "mid prices) as native int64 and float64 bytes.";
constexpr const char* sweep_doc =
    "sweep($self, specs, /)\n--\n\n"
    "From now on every accepted event is also scored under each trial spec, from\n"
    "one state per symbol and each distinct signal evaluated once per event: the\n"
    "upward crossings a radar watching crossings would report for each spec, and\n"
    "which symbols alert at each checkpoint, kept for take_sweep(). Once, before\n"
    "the first event.";
constexpr const char* take_sweep_doc =
    "take_sweep($self, /)\n--\n\n"
    "(symbol names by number, per trial spec (symbol numbers, ts, events,\n"
    "severities, alerting)): the upward crossings found since the last call as\n"
    "native uint32, int64, uint64 and float64 bytes, and whether each symbol\n"
    "alerts at each checkpoint since then with an event before it (uint8,\n"
    "symbols x checkpoints).";
constexpr const char* keep_events_doc =
    "keep_events($self, limit, /)\n--\n\n"
    "From now on every accepted event is kept (about 52 bytes each) for\n"
    "sweep_kept(), up to `limit` events: past it none are kept. Before the\n"
    "first event.";
constexpr const char* sweep_kept_doc =
    "sweep_kept($self, specs, /)\n--\n\n"
    "The kept events scored under each trial spec as sweep() scores them, without\n"
    "reading the recording again: per spec (symbol numbers, ts, events,\n"
    "severities, alerting) as take_sweep() gives them, at the checkpoints this\n"
    "feeder took; symbols numbered as this feeder's.";
constexpr const char* kept_moments_doc =
    "kept_moments($self, /)\n--\n\n"
    "Per kept event, its symbol's number and the ts a crossing at it carries\n"
    "(the symbol's largest ts so far), as native uint32 and int64 bytes.";
constexpr const char* alerts_doc =
    "alerts($self, /)\n--\n\nThe current alerts reply of each radar, in spec order.";

PyMethodDef feeder_methods[] = {
    {"feed", feeder_feed, METH_O, feed_doc},
    {"resume", feeder_resume, METH_NOARGS, resume_doc},
    {"feed_columns", feeder_feed_columns, METH_O, feed_columns_doc},
    {"select", as_cfunction(feeder_select), METH_VARARGS | METH_KEYWORDS, select_doc},
    {"finish", as_cfunction(feeder_finish), METH_VARARGS | METH_KEYWORDS, finish_doc},
    {"write_crossings", feeder_write_crossings, METH_O, write_crossings_doc},
    {"alerts", feeder_alerts, METH_NOARGS, alerts_doc},
    {"take_prices", feeder_take_prices, METH_NOARGS, take_prices_doc},
    {"sweep", feeder_sweep, METH_O, sweep_doc},
    {"take_sweep", feeder_take_sweep, METH_NOARGS, take_sweep_doc},
    {"keep_events", feeder_keep_events, METH_O, keep_events_doc},
    {"sweep_kept", feeder_sweep_kept, METH_O, sweep_kept_doc},
    {"kept_moments", feeder_kept_moments, METH_NOARGS, kept_moments_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef feeder_getset[] = {
    {"lines", feeder_counter, nullptr, "Lines seen so far, blank ones included.",
     counter(Counter::Lines)},
    {"events", feeder_counter, nullptr, "Accepted events.", counter(Counter::Events)},
    {"bad_lines", feeder_counter, nullptr, "Lines rejected.", counter(Counter::BadLines)},
    {"checkpoints", feeder_counter, nullptr, "Checkpoints taken.", counter(Counter::Checkpoints)},
    {"symbols", feeder_counter, nullptr, "Distinct symbols of accepted events.",
     counter(Counter::Symbols)},
    {"ts", feeder_counter, nullptr, "Largest ts accepted, None before the first.",
     counter(Counter::Ts)},
    {"stopped", feeder_counter, nullptr, "Whether a strict stop happened.",
     counter(Counter::Stopped)},
    {"pending", feeder_counter, nullptr, "Whether the last call left lines of its block for resume().",
     counter(Counter::Pending)},
    {"backwards", feeder_counter, nullptr,
     "Accepted events whose ts is below an earlier one of their symbol.", counter(Counter::Backwards)},
    {"first_backwards", feeder_counter, nullptr,
     "The line of the first such event, None while there is none.", counter(Counter::FirstBackwards)},
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
    "fenmor_radar._native.LineFeeder",
    static_cast<int>(sizeof(LineFeederObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    feeder_slots,
};

}  // namespace

PyObject* make_line_feeder_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &feeder_spec, nullptr);
}

}  // namespace fenmor::python
