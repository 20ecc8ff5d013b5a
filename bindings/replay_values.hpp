#pragma once
// What the replay module's types share: reading specs and periods, guarding a
// native object against two calls at once, and building small results.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/python.hpp"
#include "bindings/python_errors.hpp"
#include "crates/radar-core/src/protocol/radar_handle.hpp"

namespace fenmor::python {

// Holds a native object for one call; `ok()` is false (RuntimeError set) when
// another call has it.
class Use {
 public:
  // `type_name` names the object in the error.
  Use(std::uint8_t& in_use, std::string_view type_name) : flag_(in_use) {
    std::uint8_t expected = 0;
    taken_ = flag_.compare_exchange_strong(expected, 1, std::memory_order_acquire);
    if (!taken_) raise(PyExc_RuntimeError, std::string(type_name) + " is already in use by another call");
  }
  ~Use() {
    if (taken_) flag_.store(0, std::memory_order_release);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  bool ok() const noexcept { return taken_; }

 private:
  std::atomic_ref<std::uint8_t> flag_;
  bool taken_ = false;
};

// None, or the int.
PyObject* optional_int(const std::optional<std::int64_t>& value);
// None, or the str (nullptr with the error set when it is not UTF-8).
PyObject* optional_str(const std::optional<std::string>& value);
// A tuple of str.
PyObject* replies_tuple(const std::vector<std::string>& replies);
// None or an int > 0; values beyond 64 bits behave as "never".
bool read_period(PyObject* value, const char* name, std::optional<std::uint64_t>& out);
// One radar per spec JSON text of the iterable `specs` (at least one); a bad
// one raises ValueError(message, index). `function` names the caller in
// type errors.
std::optional<std::vector<RadarHandle>> read_specs(PyObject* specs, const char* function);

}  // namespace fenmor::python
