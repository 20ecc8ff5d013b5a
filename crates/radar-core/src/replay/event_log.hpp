#pragma once
// The events a replay accepted, in order, each with its symbol's number (as
// SymbolStates numbers them): kept from a search's first reading of a
// recording, so that its later batches of trials are scored without reading
// the text again. About 52 bytes per event.

#include <algorithm>
#include <cstdint>
#include <limits>
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

// Per event, the ts a crossing at it carries: its symbol's largest ts so
// far (SymbolState::last_ts once the event is applied).
inline std::vector<std::int64_t> crossing_ts(const EventLog& log) {
  std::vector<std::int64_t> latest;  // by symbol number
  std::vector<std::int64_t> moments(log.size());
  for (std::size_t i = 0; i < log.size(); ++i) {
    const std::uint32_t number = log.symbols[i];
    if (number >= latest.size()) latest.resize(number + std::size_t{1}, std::numeric_limits<std::int64_t>::min());
    latest[number] = std::max(latest[number], event_ts(log.events[i]));
    moments[i] = latest[number];
  }
  return moments;
}

}  // namespace fenmor::replay
