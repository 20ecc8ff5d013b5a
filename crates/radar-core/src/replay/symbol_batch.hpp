#pragma once
// Accepted events on their way to the radars, applied in batches.
//
// Events wait here until a checkpoint, a reply or a bound on their number,
// then go to the radars grouped by symbol, each group in input order:
// symbols' states are independent, so the radars end up as if fed line by
// line, at a fraction of the cost (one lookup per symbol, not per event, and
// each state touched once while it is in cache). Symbols are numbered once,
// so grouping is a counting pass, not a sort.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/protocol/radar_handle.hpp"

namespace fenmor::replay {

class SymbolBatch {
 public:
  // Queues one event; true when the batch is full and wants a flush.
  bool add(std::string_view symbol, const Event& event);
  // Applies the queued events to every radar.
  void flush(std::span<RadarHandle> radars);

  // Distinct symbols ever added, by number.
  const std::vector<std::string_view>& symbols() const noexcept { return names_; }

 private:
  struct SymbolHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };
  struct Pending {
    std::uint32_t symbol;  // the symbol's number
    Event event;
  };
  std::uint32_t number_of(std::string_view symbol);
  // Bounds the memory of one call, whatever the block size.
  static constexpr std::size_t max_pending = std::size_t{1} << 12;
  std::unordered_map<std::string, std::uint32_t, SymbolHash, std::equal_to<>> numbers_;
  std::vector<std::string_view> names_;         // by number; views of numbers_' keys
  std::vector<std::uint32_t> pending_count_;    // by number: pending events
  std::vector<std::uint32_t> pending_symbols_;  // numbers with pending events
  std::vector<Pending> pending_;
  EventList grouped_;
};

}  // namespace fenmor::replay
