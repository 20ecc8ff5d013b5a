#include "crates/radar-core/src/protocol/working_buffers.hpp"

#include <utility>

namespace fenmor {

void WorkingBuffers::release_text_buffers() noexcept {
  json::Document empty;
  std::swap(document, empty);
  quick.release();
  EventList().swap(events);
  SymbolEvents().swap(symbol_events);
}

WorkingBuffers& thread_working_buffers() noexcept {
  static thread_local WorkingBuffers buffers;
  return buffers;
}

}  // namespace fenmor
