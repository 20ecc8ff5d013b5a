#pragma once
// The events of a stretch of a replay that no checkpoint cuts, applied to
// their symbols' states on the worker pool.
//
// A symbol's state depends only on its own events, in their order, so the
// stretch is grouped by symbol (stably: each symbol's events keep their
// order) and the groups are shared out among the pool's threads. A symbol's
// events applied one after another also find its state in the cache, where
// input order moves to another symbol at nearly every event. What has a
// global order (symbol numbering, the checkpoint clock, bad lines, the
// checkpoints themselves) stays with the caller, before and after.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/replay/symbol_states.hpp"

namespace fenmor::replay {

struct StretchEvent {
  std::uint32_t number;  // the symbol's, in the SymbolStates
  const Event* event;
};

class GroupedApply {
 public:
  // Below this many events a stretch is applied on the calling thread in
  // input order: grouping and waking the pool cost more than they save.
  static constexpr std::size_t least_grouped = 2048;

  // Applies `events` (every symbol's states already made) to `states`, with
  // `radars` states per symbol, and returns when all are applied.
  void apply(const SymbolStates& states, std::size_t radars, const std::vector<StretchEvent>& events);

 private:
  std::vector<std::uint32_t> starts_;   // per symbol number: where its group starts
  std::vector<StretchEvent> grouped_;   // the stretch, grouped by symbol
  std::vector<std::size_t> pieces_;     // where each thread's share starts, then the end
};

}  // namespace fenmor::replay
