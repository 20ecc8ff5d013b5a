// ScreenerCore owns a radar's spec and states and feeds it Python values
// straight into the engine's events: no command text is written or read on
// the common path, which is what makes a feed from Python about as cheap as
// the radar's own work. Whatever it does not take as it is (a bool, NaN, an
// int beyond a double's exact range, a string where a number belongs, a
// subclass, an unknown kind, a missing or extra field, a symbol that is not
// valid UTF-8) goes the general way: the Python layer writes the command
// text as json.dumps would, the radar runs it, and a refusal raises with the
// radar's own message. So both ways give the same result for the same event.

#include "bindings/screener_core_type.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bindings/arguments.hpp"
#include "bindings/arrow_batch.hpp"
#include "bindings/event_fields.hpp"
#include "bindings/heap_type.hpp"
#include "bindings/python_errors.hpp"
#include "bindings/replay_values.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/event_schema.hpp"
#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/replay/feed_rows.hpp"
#include "crates/radar-core/src/replay/severity_watch.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor::python {

namespace {

using event_schema::FieldType;
using event_schema::Variant;

constexpr std::size_t variant_count = event_schema::variants.size();

struct Watched;

// Not bound to a thread; one call at a time (RuntimeError otherwise, also
// for a call made from inside one, such as from an event's own code).
struct CoreObject {
  PyObject header;
  RadarHandle* handle;  // nullptr until __init__
  // The event classes read natively, in the schema's variant order, and
  // their field descriptors (made with new: the interpreter allocates the
  // object's own memory, which holds no C++ object with a destructor).
  std::array<PyObject*, variant_count> event_types;
  std::array<FieldDescriptors, variant_count>* descriptors;  // nullptr until __init__
  FieldNames names;      // interned, so that reading a dict or an object makes no string
  PyObject* feed_text;   // (symbol, event) -> the "feed" command text
  PyObject* batch_text;  // (symbol, events) -> the "feed_batch" command text
  PyObject* refuse;      // (error reply) -> raises
  // With crossings watched: (direction, events, symbol, ts, severity, alert
  // JSON) -> the crossing feed() returns; else nullptr.
  PyObject* crossing;
  Watched* watched;      // nullptr unless crossings are watched
  std::uint8_t in_use;   // accessed atomically
};

// Each fed symbol's severity against the threshold, for feed() to tell the
// crossing an event caused. Cleared with the states ("reset", "set_spec").
struct Watched {
  std::unordered_map<std::string, replay::Watch> watches;
  std::vector<double> factors;
  std::uint64_t events = 0;  // events taken by feed() and feed_batch()
};

CoreObject* as_core(PyObject* self) { return reinterpret_cast<CoreObject*>(self); }

void drop(PyObject*& slot) {
  PyObject* value = std::exchange(slot, nullptr);
  if (value != nullptr) Py_DecRef(value);
}

void drop_references(CoreObject* core) {
  for (PyObject*& type : core->event_types) drop(type);
  release_field_names(core->names);
  drop(core->feed_text);
  drop(core->batch_text);
  drop(core->refuse);
  drop(core->crossing);
}

PyObject* core_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyObject* self = new_instance(type);
  if (self == nullptr) return nullptr;
  CoreObject* core = as_core(self);
  core->handle = nullptr;
  core->event_types.fill(nullptr);
  core->names.fill(nullptr);
  core->descriptors = nullptr;
  core->feed_text = core->batch_text = core->refuse = core->crossing = nullptr;
  core->watched = nullptr;
  core->in_use = 0;
  return self;
}

// A heap type may be a Python class's base: that class frees through its
// own tp_free (the garbage collector's when it has a __dict__).
void core_dealloc(PyObject* self) {
  CoreObject* core = as_core(self);
  delete std::exchange(core->handle, nullptr);
  delete std::exchange(core->descriptors, nullptr);
  delete std::exchange(core->watched, nullptr);
  drop_references(core);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// Whether `kind`, the class attribute of the event class of `variant`, is the variant's tag.
bool names_variant(const FieldNames& names, PyObject* type, const Variant& variant) {
  PyObject* kind = PyObject_GetAttr(type, names[event_schema::Kind]);
  if (kind == nullptr) return false;
  const bool same = variant_named(kind) == &variant;
  Py_DecRef(kind);
  if (!same) {
    PyErr_Format(PyExc_TypeError, "ScreenerCore(): the event class for \"%s\" has another kind",
                 variant.tag.data());
  }
  return same;
}

int core_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"spec_json", "event_types", "feed_text", "batch_text", "refuse",
                                   "crossing", nullptr};
  PyObject* spec_json = nullptr;
  PyObject* event_types = nullptr;
  PyObject* feed_text = nullptr;
  PyObject* batch_text = nullptr;
  PyObject* refuse = nullptr;
  PyObject* crossing = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO!OOO|$O:ScreenerCore", const_cast<char**>(keywords),
                                   &spec_json, &PyTuple_Type, &event_types, &feed_text, &batch_text,
                                   &refuse, &crossing)) {
    return -1;
  }
  if (PyTuple_Size(event_types) != static_cast<Py_ssize_t>(variant_count)) {
    PyErr_SetString(PyExc_TypeError, "ScreenerCore(): event_types holds one class per event kind");
    return -1;
  }
  // Released on every way out until the object takes them.
  struct OwnNames {
    FieldNames names{};
    ~OwnNames() { release_field_names(names); }
  } own;
  if (!intern_field_names(own.names)) return -1;
  for (std::size_t i = 0; i < variant_count; ++i) {
    PyObject* type = PyTuple_GetItem(event_types, static_cast<Py_ssize_t>(i));
    if (!PyType_Check(type)) {
      raise_type_mismatch(type, "type");
      return -1;
    }
    if (!names_variant(own.names, type, event_schema::variants[i])) return -1;
  }
  const auto text = read_text({"ScreenerCore()", "spec_json"}, spec_json);
  if (!text) return -1;
  auto decoded = decode_spec_text(*text);
  if (!decoded) {
    raise(PyExc_ValueError, decoded.error().text());
    return -1;
  }
  auto spec = CompiledSpec::compile(std::move(*decoded));
  if (!spec) {
    raise(PyExc_ValueError, spec.error().text());
    return -1;
  }

  auto descriptors = std::make_unique<std::array<FieldDescriptors, variant_count>>();
  for (std::size_t i = 0; i < variant_count; ++i) {
    PyObject* type = PyTuple_GetItem(event_types, static_cast<Py_ssize_t>(i));
    if (!(*descriptors)[i].load(own.names, type, event_schema::variants[i])) return -1;
  }

  // Nothing fails from here on: a failed __init__ leaves the object as it was.
  CoreObject* core = as_core(self);
  Use use(core->in_use, "Screener");
  if (!use.ok()) return -1;
  delete std::exchange(core->handle, new RadarHandle(std::move(*spec)));
  delete std::exchange(core->descriptors, descriptors.release());
  delete std::exchange(core->watched, crossing == Py_None ? nullptr : new Watched);
  drop_references(core);
  core->names = std::exchange(own.names, FieldNames{});
  for (std::size_t i = 0; i < variant_count; ++i) {
    core->event_types[i] = PyTuple_GetItem(event_types, static_cast<Py_ssize_t>(i));
    Py_IncRef(core->event_types[i]);
  }
  for (auto [slot, value] : {std::pair{&core->feed_text, feed_text}, std::pair{&core->batch_text, batch_text},
                             std::pair{&core->refuse, refuse}}) {
    Py_IncRef(value);
    *slot = value;
  }
  if (crossing != Py_None) {
    Py_IncRef(crossing);
    core->crossing = crossing;
  }
  return 0;
}

// --- reading events ------------------------------------------------------

// Integers a double holds exactly, so that reading one as a float gives
// what the radar reads from its decimal text.
constexpr std::int64_t exact_double_limit = std::int64_t{1} << 53;

std::optional<double> read_float(PyObject* value) {
  if (PyFloat_CheckExact(value)) {
    const double number = PyFloat_AsDouble(value);
    if (std::isfinite(number)) return number;
    return std::nullopt;
  }
  std::optional<std::int64_t> number = exact_int64(value);
  if (!number) number = index_int64(value);
  if (!number) return protocol_double(value);
  if (*number > exact_double_limit || *number < -exact_double_limit) return std::nullopt;
  return static_cast<double>(*number);
}

bool read_values(const EventFields& fields, Event& out) {
  const Variant& variant = fields.variant();
  event_schema::FieldValues values;
  for (std::size_t i = 0; i < variant.fields.size(); ++i) {
    const event_schema::Field& field = variant.fields[i];
    PyObject* value = fields.value(i);
    switch (field.type) {
      case FieldType::Ts: {
        std::optional<std::int64_t> ts = exact_int64(value);
        if (!ts) ts = index_int64(value);
        if (!ts) return false;
        values.ts = *ts;
        break;
      }
      case FieldType::Side: {
        const std::optional<Side> side = exact_side(value);
        if (!side) return false;
        values.side = *side;
        break;
      }
      case FieldType::Float: {
        const std::optional<double> number = read_float(value);
        if (!number) return false;
        values.floats[field.number] = *number;
        break;
      }
    }
  }
  out = event_schema::build(variant.id, values);
  return true;
}

// The event, when it is one the native way takes as it is: an exact tuple
// or list, an exact dict or an instance of exactly one of the event classes.
bool read_event(const CoreObject& core, PyObject* event, Event& out) {
  EventFields fields;
  bool read = false;
  if (PyTuple_CheckExact(event) || PyList_CheckExact(event)) {
    read = fields.read_sequence(event);
  } else if (PyDict_CheckExact(event)) {
    read = fields.read_dict(core.names, event);
  } else {
    const auto type = reinterpret_cast<PyObject*>(Py_TYPE(event));
    for (std::size_t i = 0; i < variant_count && !read; ++i) {
      if (type == core.event_types[i]) {
        read = fields.read_descriptors(core.names, event, event_schema::variants[i],
                                       (*core.descriptors)[i]);
        if (!read) return false;
      }
    }
  }
  return read && read_values(fields, out);
}

std::optional<std::string_view> read_symbol(PyObject* symbol) {
  if (!PyUnicode_CheckExact(symbol)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(symbol, &size);
  if (utf8 == nullptr) {  // a lone surrogate: the general way reports it
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

// --- calls -----------------------------------------------------------------

// Takes the object for one call once __init__ has run.
class Call {
 public:
  explicit Call(CoreObject* core) : use_(core->in_use, "Screener") {
    if (use_.ok() && core->handle == nullptr) {
      raise(PyExc_RuntimeError, "the Screener is not initialised: its __init__ did not run");
    }
    ok_ = use_.ok() && core->handle != nullptr;
  }
  bool ok() const noexcept { return ok_; }

 private:
  Use use_;
  bool ok_ = false;
};

// (symbol, event) or (symbol, events), by position or keyword.
bool match_two(const char* function, const std::array<const char*, 2>& names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, 2>& out) {
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "%s takes 2 positional arguments but %zd were given", function, nargs);
    return false;
  }
  out = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    std::size_t at = 0;
    while (at < 2 && PyUnicode_CompareWithASCIIString(keyword, names[at]) != 0) ++at;
    if (at == 2) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function, keyword);
      return false;
    }
    if (out[at] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function, names[at]);
      return false;
    }
    out[at] = args[nargs + k];
  }
  for (std::size_t at = 0; at < 2; ++at) {
    if (out[at] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", function,
                   names[at]);
      return false;
    }
  }
  return true;
}

// Runs the command text the general way made (a new reference, or nullptr
// with its error): None when the radar takes it, else the refusal raised.
PyObject* run_general(CoreObject* core, PyObject* text) {
  if (text == nullptr) return nullptr;
  const auto command = read_text({"Screener", "cmd_json"}, text);
  PyObject* result = nullptr;
  if (command) {
    const std::string_view reply = core->handle->command(*command);
    if (reply == ok_reply) {
      result = Py_None;
      Py_IncRef(result);
    } else if (PyObject* reply_text = new_str(reply)) {
      result = PyObject_CallFunctionObjArgs(core->refuse, reply_text, nullptr);
      Py_DecRef(reply_text);
      if (result != nullptr) {  // refuse() returned instead of raising
        Py_DecRef(result);
        result = raise(PyExc_RuntimeError, "Screener: a refused command raised nothing");
      }
    }
  }
  Py_DecRef(text);
  return result;
}

// After an event of `symbol` was taken (`event`, nullptr when it went the
// general way): None, or the crossing it caused when crossings are watched.
// Evaluated as an alerts reply would.
PyObject* crossing_of(CoreObject* core, std::string_view symbol, const Event* event,
                      bool report = true) {
  Watched* watched = core->watched;
  if (watched == nullptr) Py_RETURN_NONE;
  if (report) ++watched->events;
  const CompiledSpec& spec = core->handle->compiled();
  watched->factors.resize(spec.keys().names().size());
  const SymbolState& state = core->handle->state_of(symbol);
  replay::Watch& watch = watched->watches.try_emplace(std::string(symbol)).first->second;
  const auto crossed = replay::observe(spec, state, event, watch, watched->factors);
  if (!crossed || !report) Py_RETURN_NONE;
  std::string alert;
  write_alert(alert, Alert{std::string(symbol), watch.severity, watched->factors, watch.ts},
              spec.keys().names());
  const std::string_view direction = replay::direction_name(*crossed);
  return PyObject_CallFunction(core->crossing, "s#Ks#Lds#", direction.data(),
                               static_cast<Py_ssize_t>(direction.size()),
                               static_cast<unsigned long long>(watched->events), symbol.data(),
                               static_cast<Py_ssize_t>(symbol.size()), static_cast<long long>(watch.ts),
                               watch.severity, alert.data(), static_cast<Py_ssize_t>(alert.size()));
}

PyObject* core_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> given{};
  if (!match_two("feed()", {"symbol", "event"}, args, nargs, kwnames, given)) return nullptr;
  CoreObject* core = as_core(self);
  Call call(core);
  if (!call.ok()) return nullptr;
  const auto [symbol, event] = given;
  const std::optional<std::string_view> name = read_symbol(symbol);
  Event decoded;
  if (name && read_event(*core, event, decoded)) {
    core->handle->apply(FeedCommand{*name, decoded});
    return crossing_of(core, *name, &decoded);
  }
  PyObject* result = run_general(core, PyObject_CallFunctionObjArgs(core->feed_text, symbol, event, nullptr));
  if (result == nullptr || core->watched == nullptr) return result;
  Py_DecRef(result);
  // The general way took it, so the symbol is a str whose text the radar read.
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(symbol, &size);
  if (utf8 == nullptr) return nullptr;
  return crossing_of(core, std::string_view(utf8, static_cast<std::size_t>(size)), nullptr);
}

PyObject* core_feed_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> given{};
  if (!match_two("feed_batch()", {"symbol", "events"}, args, nargs, kwnames, given)) return nullptr;
  CoreObject* core = as_core(self);
  Call call(core);
  if (!call.ok()) return nullptr;
  const auto [symbol, iterable] = given;
  // A tuple of its own: read once even from an iterator, and unchanged by
  // whatever code an event runs while the others are read.
  PyObject* events = PySequence_Tuple(iterable);
  if (events == nullptr) return nullptr;
  const std::optional<std::string_view> name = read_symbol(symbol);
  const Py_ssize_t count = PyTuple_Size(events);
  std::vector<Event> decoded(name ? static_cast<std::size_t>(count) : 0);
  bool native = name.has_value();
  for (Py_ssize_t i = 0; native && i < count; ++i) {
    native = read_event(*core, PyTuple_GetItem(events, i), decoded[static_cast<std::size_t>(i)]);
  }
  PyObject* result = nullptr;
  if (native) {
    core->handle->apply(*name, decoded);
    result = Py_None;
    Py_IncRef(result);
  } else {
    result = run_general(core, PyObject_CallFunctionObjArgs(core->batch_text, symbol, events, nullptr));
  }
  Py_DecRef(events);
  if (result != nullptr && core->watched != nullptr && count > 0) {
    // A batch is not watched event by event, but the next feed() compares
    // with the state it left.
    core->watched->events += static_cast<std::uint64_t>(count);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(symbol, &size);
    if (utf8 == nullptr) {
      Py_DecRef(result);
      return nullptr;
    }
    Py_DecRef(crossing_of(core, std::string_view(utf8, static_cast<std::size_t>(size)), nullptr,
                          false));
  }
  return result;
}

// The rows of an Arrow record batch, all or none: None, or the first row the
// radar refuses as (row, message, member at fault or None), nothing fed.
PyObject* core_feed_columns(PyObject* self, PyObject* batch) {
  CoreObject* core = as_core(self);
  Call call(core);
  if (!call.ok()) return nullptr;
  ArrowBatch arrow;
  if (!arrow.open(batch, "feed_frame()")) return nullptr;
  const auto columns = arrow.columns();
  if (!columns) return nullptr;
  PyThreadState* thread = PyEval_SaveThread();
  std::optional<replay::BadLine> bad = replay::feed_rows(*core->handle, *columns);
  PyEval_RestoreThread(thread);
  if (!bad) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  PyObject* field = optional_str(bad->field);
  if (field == nullptr) return nullptr;
  PyObject* result = Py_BuildValue("(Ks#O)", static_cast<unsigned long long>(bad->number), bad->message.data(),
                                   static_cast<Py_ssize_t>(bad->message.size()), field);
  Py_DecRef(field);
  return result;
}

PyObject* core_command(PyObject* self, PyObject* text) {
  CoreObject* core = as_core(self);
  Call call(core);
  if (!call.ok()) return nullptr;
  const auto command = read_text({"command()", "cmd_json"}, text);
  if (!command) return nullptr;
  const std::size_t states = core->handle->dataset().len();
  PyObject* reply = new_str(core->handle->command(*command));
  if (core->watched != nullptr) {
    if (core->handle->dataset().len() < states) {
      // Only "reset" and "set_spec" drop states, and they drop them all.
      core->watched->watches.clear();
    } else {
      // A raw "feed" may have moved any state: every signal is evaluated
      // again at the symbol's next feed().
      for (auto& entry : core->watched->watches) entry.second.values.clear();
    }
  }
  return reply;
}

constexpr const char* core_doc =
    "ScreenerCore(spec_json, event_types, feed_text, batch_text, refuse, *, crossing=None)\n--\n\n"
    "The native base of fenmor_radar.Screener: a radar's spec and states, fed\n"
    "Python values straight into the engine. Not bound to a thread; one call at\n"
    "a time (RuntimeError otherwise).";
constexpr const char* feed_doc =
    "feed($self, symbol, event)\n--\n\n"
    "Apply one event to ``symbol``'s state; :class:`RadarError` if the radar refuses it.\n"
    "With crossings watched, the crossing the event caused, else None.";
constexpr const char* feed_batch_doc =
    "feed_batch($self, symbol, events)\n--\n\n"
    "Apply events to ``symbol``'s state in order, all or none.";
constexpr const char* feed_columns_doc =
    "_feed_columns($self, batch, /)\n--\n\n"
    "Apply the rows of an Arrow record batch of events, all or none: None, or the\n"
    "first refused row as (row, message, member at fault or None).";
constexpr const char* command_doc =
    "_command($self, cmd_json, /)\n--\n\n"
    "Run a command JSON text on this state and return the reply text, as Radar.command does.";

PyMethodDef core_methods[] = {
    {"feed", as_cfunction(core_feed), METH_FASTCALL | METH_KEYWORDS, feed_doc},
    {"feed_batch", as_cfunction(core_feed_batch), METH_FASTCALL | METH_KEYWORDS, feed_batch_doc},
    {"_feed_columns", core_feed_columns, METH_O, feed_columns_doc},
    {"_command", core_command, METH_O, command_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot core_slots[] = {
    {Py_tp_doc, const_cast<char*>(core_doc)},
    {Py_tp_new, as_slot(core_new)},
    {Py_tp_init, as_slot(core_init)},
    {Py_tp_dealloc, as_slot(core_dealloc)},
    {Py_tp_methods, core_methods},
    {0, nullptr},
};

PyType_Spec core_spec = {
    "fenmor_radar._native.ScreenerCore",
    static_cast<int>(sizeof(CoreObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    core_slots,
};

}  // namespace

PyObject* make_screener_core_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &core_spec, nullptr);
}

}  // namespace fenmor::python
