#pragma once
// Every radar's state of every symbol a replay has fed, found from the
// symbol's hash with one probe of a small table.
//
// A symbol is looked up in each radar's dataset once, when it first comes;
// from then on its events go straight to the states, which never move (the
// feeder's radars are only fed and asked for alerts, never reset). The hash
// is computed where the line is read, off the feeding thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/replay/severity_watch.hpp"

namespace fenmor::replay {

class SymbolStates {
 public:
  static constexpr std::uint32_t unknown = ~std::uint32_t{0};

  // `hash` is symbol_hash(symbol); `number` is what find() gave for it, or
  // unknown. The symbol's number.
  std::uint32_t apply(std::span<RadarHandle> radars, std::string_view symbol, std::uint64_t hash,
                      std::uint32_t number, const Event& event);

  // apply() in its three steps, for a feeder that applies the events of a
  // stretch later and on several threads: the symbol's number (its states
  // made now when it is new), the event's ts counted against the symbol's
  // latest, then the event applied to the symbol's states. apply_states
  // touches only that symbol's states: calls for different symbols may run
  // at the same time, while nothing else changes the table.
  std::uint32_t enter(std::span<RadarHandle> radars, std::string_view symbol, std::uint64_t hash,
                      std::uint32_t number);
  void count_ts(std::uint32_t number, std::int64_t ts) noexcept;
  void apply_states(std::uint32_t number, std::size_t radars, const Event& event) const noexcept;

  // A symbol's state and watch under each radar, in the radars' order.
  std::span<SymbolState* const> states_of(std::uint32_t number, std::size_t radars) const noexcept {
    return std::span(states_).subspan(std::size_t{number} * radars, radars);
  }
  bool watched() const noexcept { return watched_; }
  // Keeps a Watch beside every state from now on.
  void watch() {
    watched_ = true;
    watches_.resize(states_.size());
  }
  std::span<Watch> watches_of(std::uint32_t number, std::size_t radars) noexcept {
    return std::span(watches_).subspan(std::size_t{number} * radars, radars);
  }

  // The number of a symbol fed before, else unknown. A state is never made
  // ahead of its first event: an empty state would count in the alerts.
  std::uint32_t find(std::string_view symbol, std::uint64_t hash) const noexcept;

  // Applying an event to a state that is not in the cache waits for memory
  // twice (the state, then its histories): a feeder that knows its next
  // events asks for the states some events ahead and their histories fewer.
  void prefetch_states(std::uint32_t number, std::size_t radars) const noexcept;
  void prefetch_histories(std::uint32_t number, std::size_t radars) const noexcept;

  // Events whose ts was below an earlier event's of their symbol: input out
  // of order, which the radars take as it comes.
  std::uint64_t backwards() const noexcept { return backwards_; }

  // Distinct symbols fed, in the order they came.
  std::size_t size() const noexcept { return names_.size(); }
  const std::vector<std::string>& names() const noexcept { return names_; }

 private:
  static constexpr std::uint32_t empty = unknown;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t number = empty;
  };
  std::uint32_t number_of(std::span<RadarHandle> radars, std::string_view symbol,
                          std::uint64_t hash);
  void place(std::uint64_t hash, std::uint32_t number);

  std::vector<Slot> slots_;            // open addressing, a power of two, at most half full
  std::vector<std::string> names_;     // by number
  std::vector<SymbolState*> states_;   // by number, then radar
  std::vector<Watch> watches_;         // beside states_, once watched
  bool watched_ = false;
  std::vector<std::int64_t> latest_;   // by number: the largest ts fed
  std::uint64_t backwards_ = 0;
};

}  // namespace fenmor::replay
