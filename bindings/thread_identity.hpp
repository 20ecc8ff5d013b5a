#pragma once
// A number for the calling thread, unique for the life of the process.

#include <cstdint>

namespace fenmor {

// 1 for the first thread that asks, 2 for the next, and so on. A number is
// never given to two threads, even after the first one ended.
std::uint64_t current_thread_id() noexcept;

}  // namespace fenmor
