#pragma once
// The events a replay accepted, in order, each with its symbol's number (as
// SymbolStates numbers them): kept from a search's first reading of a
// recording, so that its later batches of trials are scored without reading
// the text again. About 52 bytes per event.

#include <cstdint>
#include <vector>

#include "crates/radar-core/src/event.hpp"

namespace fenmor::replay {

struct EventLog {
  std::vector<std::uint32_t> symbols;
  std::vector<Event> events;
  // The accepted events at each checkpoint the replay took.
  std::vector<std::uint64_t> checkpoints;

  std::size_t size() const noexcept { return events.size(); }
};

}  // namespace fenmor::replay
