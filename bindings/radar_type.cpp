#include "bindings/heap_type.hpp"
#include "bindings/radar_type.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/arguments.hpp"
#include "bindings/internal_fault.hpp"
#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "bindings/python_errors.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "bindings/thread_identity.hpp"
#include "crates/radar-core/src/spec_decode.hpp"
#include "crates/radar-core/src/version.hpp"

namespace fenmor::python {

namespace {

constexpr std::uintptr_t flag_free = 0;
constexpr std::uintptr_t flag_in_use = ~std::uintptr_t{0};

struct RadarObject {
  PyObject header;
  RadarHandle* handle;
  // flag_free, or flag_in_use while a command runs.
  std::uintptr_t use_flag;
  std::uint64_t owner_thread;
};

RadarObject* as_radar(PyObject* self) { return reinterpret_cast<RadarObject*>(self); }

constexpr Parameter spec_parameter{"Radar.__new__()", "spec_json"};
constexpr Parameter command_parameter{"Radar.command()", "cmd_json"};

// The replies that never change are made once, so that the common "feed"
// answers with a new reference instead of a new str.
PyObject* ok_reply_str = nullptr;
PyObject* version_reply_str = nullptr;

PyObject* reply_str(std::string_view reply) {
  PyObject* shared = nullptr;
  if (reply.data() == ok_reply.data()) shared = ok_reply_str;
  if (reply.data() == version_reply.data()) shared = version_reply_str;
  if (shared == nullptr) return new_str(reply);
  Py_IncRef(shared);
  return shared;
}

PyObject* radar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argument = match_argument(spec_parameter, args, kwargs);
  if (argument == nullptr) return nullptr;
  const auto text = read_text(spec_parameter, argument);
  if (!text) return nullptr;

  auto decoded = decode_spec_text(*text);
  if (!decoded) return raise(PyExc_ValueError, decoded.error().text());
  auto spec = CompiledSpec::compile(std::move(*decoded));
  if (!spec) return raise(PyExc_ValueError, spec.error().text());

  PyObject* self = new_instance(type);
  if (self == nullptr) return nullptr;  // the decoded spec goes with `spec`

  RadarObject* radar = as_radar(self);
  radar->handle = new RadarHandle(std::move(*spec));
  radar->use_flag = flag_free;
  radar->owner_thread = current_thread_id();
  return self;
}

PyObject* sent_to_another_thread(std::uint64_t caller, std::uint64_t owner) {
  std::string message =
      "assertion `left == right` failed: _fenmor_radar::PyRadar is unsendable, but sent to "
      "another thread\n  left: ThreadId(";
  message.append(std::to_string(caller));
  message.append(")\n right: ThreadId(");
  message.append(std::to_string(owner));
  message.push_back(')');
  return raise_internal_fault(message);
}

// Puts the use flag back on every way out of a command once it was taken.
class UseFlagRelease {
 public:
  explicit UseFlagRelease(std::atomic_ref<std::uintptr_t> flag) noexcept : flag_(flag) {}
  ~UseFlagRelease() { flag_.store(flag_free, std::memory_order_release); }
  UseFlagRelease(const UseFlagRelease&) = delete;
  UseFlagRelease& operator=(const UseFlagRelease&) = delete;

 private:
  std::atomic_ref<std::uintptr_t> flag_;
};

PyObject* radar_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* argument = match_argument(command_parameter, args, nargs, kwnames);
  if (argument == nullptr) return nullptr;

  RadarObject* radar = as_radar(self);
  const std::uint64_t caller = current_thread_id();
  if (caller != radar->owner_thread) return sent_to_another_thread(caller, radar->owner_thread);

  std::atomic_ref<std::uintptr_t> flag(radar->use_flag);
  std::uintptr_t expected = flag_free;
  if (!flag.compare_exchange_strong(expected, flag_in_use, std::memory_order_acquire)) {
    return raise(PyExc_RuntimeError, "Already borrowed");
  }
  UseFlagRelease release(flag);

  const auto text = read_text(command_parameter, argument);
  if (!text) return nullptr;
  // The interpreter lock stays held: a scan's workers never touch Python
  // objects, and the calling thread only waits for them.
  return reply_str(radar->handle->command(*text));
}

PyObject* radar_version(PyObject* /*unused*/, PyObject* /*unused*/) {
  return new_str(library_version);
}

// Reported, not raised: deallocation has no caller to raise to.
void report_dropped_on_another_thread(PyObject* type) {
  PyObject* pending_type = nullptr;
  PyObject* pending_value = nullptr;
  PyObject* pending_traceback = nullptr;
  PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
  raise(PyExc_RuntimeError,
        "_fenmor_radar::PyRadar is unsendable, but is being dropped on another thread");
  // The instance itself is being destroyed and must not be handed to the
  // hook (a new reference to it would bring it back to life); its class
  // tells the reader what was dropped.
  PyErr_WriteUnraisable(type);
  PyErr_Restore(pending_type, pending_value, pending_traceback);
}

void radar_dealloc(PyObject* self) {
  RadarObject* radar = as_radar(self);
  PyTypeObject* type = Py_TYPE(self);
  if (radar->owner_thread == current_thread_id()) {
    delete radar->handle;
  } else {
    // Another thread may not touch the handle's spec and dataset: they are
    // left as they are, never freed.
    report_dropped_on_another_thread(reinterpret_cast<PyObject*>(type));
  }
  radar->handle = nullptr;
  free_instance(self);
}

// Signatures come first in the docstrings ("name(args)\n--\n\n"), where the
// interpreter finds them for inspect.signature and help().
constexpr const char* radar_doc =
    "Radar(spec_json)\n--\n\n"
    "A radar instance driven by JSON commands.\n\n"
    "`unsendable`: a handle owns a mutable dataset and spec, so it is bound to the\n"
    "thread that created it.";
constexpr const char* command_doc =
    "command($self, cmd_json)\n--\n\n"
    "Apply a command JSON and return the resulting response JSON.";
constexpr const char* version_doc = "version()\n--\n\nThe library version.";

PyMethodDef radar_methods[] = {
    {"command", as_cfunction(radar_command), METH_FASTCALL | METH_KEYWORDS, command_doc},
    {"version", radar_version, METH_NOARGS | METH_STATIC, version_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot radar_slots[] = {
    {Py_tp_doc, const_cast<char*>(radar_doc)},
    {Py_tp_new, as_slot(radar_new)},
    {Py_tp_dealloc, as_slot(radar_dealloc)},
    {Py_tp_methods, radar_methods},
    {0, nullptr},
};

// "builtins.Radar": the class reports __module__ "builtins". Not a base type:
// a subclass would need its own deallocation rules for the thread binding.
PyType_Spec radar_spec = {
    "builtins.Radar",
    static_cast<int>(sizeof(RadarObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    radar_slots,
};

bool make_shared_replies() {
  if (ok_reply_str == nullptr) ok_reply_str = new_str(ok_reply);
  if (version_reply_str == nullptr) version_reply_str = new_str(version_reply);
  return ok_reply_str != nullptr && version_reply_str != nullptr;
}

}  // namespace

PyObject* radar_type() {
  static PyObject* type = nullptr;
  if (type != nullptr) return type;
  if (!make_shared_replies()) return nullptr;
  type = PyType_FromSpec(&radar_spec);
  return type;
}

}  // namespace fenmor::python
