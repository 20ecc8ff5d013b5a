#include "bindings/thread_identity.hpp"

#include <atomic>

namespace fenmor {

// A radar is bound to the thread that built it, and the identifier it keeps
// must never match a later thread. pthread_self() values and native thread
// ids are reused as soon as a thread has ended, so a radar built on a
// finished thread could be taken over by a new one that happens to get the
// same id. A process-wide counter read once per thread never repeats.
std::uint64_t current_thread_id() noexcept {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

}  // namespace fenmor
