#pragma once
// Decoding events from nodes of a parsed command. Failures are Parse errors
// whose message carries no position; their path names the field, relative to
// the node given ("ts", "[3].qty", "BTCUSDT[0].kind"; empty for the node
// itself, e.g. a missing field).

#include <expected>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/radar_error.hpp"
#include "json/document.hpp"

namespace fenmor {

std::expected<Event, RadarError> decode_event(const json::Node& node);
std::expected<EventList, RadarError> decode_event_list(const json::Node& node);
std::expected<SymbolEvents, RadarError> decode_symbol_events(const json::Node& node);

}  // namespace fenmor
