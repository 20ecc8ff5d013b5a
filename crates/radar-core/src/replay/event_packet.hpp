#pragma once
// Decoded events in a compact binary form, for a shard that did not read
// their lines: the worker that read a unit packs each shard's events, the
// shard reads them back exactly as decoded (every double bit for bit).
//
// One event: its line in the unit (u64), its symbol's size in bytes (u32),
// its kind (u8: derivatives, order book, liquidation), a liquidation's side
// (u8), two zero bytes, ts (i64), four doubles (unused ones 0), then the
// symbol's bytes. Native byte order: the workers of one replay run one build
// of this package (the driver checks their versions).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crates/radar-core/src/event.hpp"

namespace fenmor::replay {

inline constexpr std::size_t packed_event_head = 56;  // bytes before the symbol

void append_packed_event(std::string& packet, std::uint64_t line, std::string_view symbol,
                         const Event& event);

struct PackedEvent {
  std::uint64_t line;
  std::string_view symbol;  // in the packet
  Event event;
};

// The event at `at`, which moves past it; nullopt when the bytes there are
// not a whole packed event.
std::optional<PackedEvent> read_packed_event(std::string_view packet, std::size_t& at);

}  // namespace fenmor::replay
