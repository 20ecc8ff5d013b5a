#pragma once
// Bookkeeping of the binding's entry points (constructor, command, version,
// deallocation, module execution).
//
// Bindings that may drop a Python reference on a thread that does not hold the
// interpreter lock have to queue such releases and apply them at the next
// entry point. This binding never releases a reference without holding the
// lock: every call runs with it held from start to end, the worker threads of
// a scan never touch a Python object, and an instance dropped on a foreign
// thread is dropped by the interpreter, which holds the lock there too. So
// nothing is ever deferred, and an entry point only counts how deeply the
// current thread is inside the binding.

namespace fenmor::python {

class EntryPoint {
 public:
  EntryPoint() noexcept { ++depth_; }
  ~EntryPoint() { --depth_; }
  EntryPoint(const EntryPoint&) = delete;
  EntryPoint& operator=(const EntryPoint&) = delete;

  // How many entry points the current thread is inside of.
  static int depth() noexcept { return depth_; }

 private:
  static inline thread_local int depth_ = 0;
};

}  // namespace fenmor::python
