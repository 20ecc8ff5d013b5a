#include "crates/radar-core/src/protocol/working_buffers.hpp"

#include <utility>

namespace fenmor {

namespace {

// A batch of ten thousand events is about a megabyte of text: not unusual,
// and reading it into fresh memory every time costs a page fault per 4 KiB.
constexpr std::size_t kept_text_size = std::size_t{4} << 20;
// An alerts reply of ten thousand symbols is a few megabytes.
constexpr std::size_t kept_reply_capacity = std::size_t{8} << 20;

}  // namespace

std::string& WorkingBuffers::fresh_reply() noexcept {
  // Swapped, not assigned: assigning an empty value keeps the capacity.
  if (reply.capacity() > kept_reply_capacity) std::string().swap(reply);
  reply.clear();
  return reply;
}

void WorkingBuffers::trim_after(std::size_t text_size) noexcept {
  if (text_size > kept_text_size) {
    json::Document empty;
    std::swap(document, empty);
    quick.release();
    EventList().swap(events);
    SymbolEvents().swap(symbol_events);
  }
}

WorkingBuffers& thread_working_buffers() noexcept {
  static thread_local WorkingBuffers buffers;
  return buffers;
}

}  // namespace fenmor
