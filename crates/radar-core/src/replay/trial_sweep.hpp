#pragma once
// Many trial specs scored over one replay from ONE state per symbol: a
// search's batch of specs that differ in weights, thresholds and parameters.
//
// The sweep keeps each symbol's state with the largest window any trial
// needs (an indicator reads only as far back as its own lookback, so a
// longer window changes no value), evaluates each distinct signal of the
// trials once per event with the engine's indicator_value, and then each
// trial's severity with the engine's WeightedMean over its own signals in
// its own order, so every sum rounds as that trial's radar rounds it. Its
// threshold crossings are exactly those a feeder watching crossings reports
// for a radar of that spec (severity_watch.hpp's rules: a NaN severity
// never passes, a symbol is below every threshold before its first event).
//
// A search needs only where alerts begin and which symbols alert at each
// checkpoint, so that is what is kept per trial: the upward crossings as
// columns, not alerts (the symbol's number, the feeder's; ts; the accepted
// events so far, the crossing one included; the severity), and a table of
// whether each symbol alerts at each checkpoint.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/replay/event_log.hpp"
#include "crates/radar-core/src/spec.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

namespace fenmor::replay {

struct SweepCrossings {
  // The upward crossings, in the order they happened.
  std::vector<std::uint32_t> symbol;
  std::vector<std::int64_t> ts;
  std::vector<std::uint64_t> events;
  std::vector<double> severity;
  // Symbols (by number) × checkpoints, row by row: 1 where the symbol is
  // above the threshold at the checkpoint (its last crossing went up).
  std::vector<std::uint8_t> alerting;

  std::size_t size() const noexcept { return ts.size(); }
};

class TrialSweep {
 public:
  // `trials` must not be empty.
  explicit TrialSweep(std::span<const CompiledSpec> trials);

  // The event just accepted for symbol `number` (numbers come in order from
  // 0, as SymbolStates gives them), after `events` accepted events.
  void observe(std::uint32_t number, const Event& event, std::uint64_t events);
  // A checkpoint taken after `events` accepted events. One before any event
  // is left out: nothing alerts there, and no outcome is measured from a
  // moment without a ts.
  void checkpoint(std::uint64_t events);

  // Applying an event to a state not in the cache waits for memory twice
  // (the state, then its histories): the feeder asks for a known symbol's
  // some events ahead, as it does for its radars' states.
  void prefetch_state(std::uint32_t number) const noexcept;
  void prefetch_histories(std::uint32_t number) const noexcept;

  std::size_t trial_count() const noexcept { return trials_.size(); }
  // The distinct signals evaluated per event.
  std::size_t signal_count() const noexcept { return signals_.size(); }
  // Hands out each trial's upward crossings found since the last call, and
  // its alerting at the checkpoints taken since then.
  std::vector<SweepCrossings> take();

 private:
  // A trial's signal: its place in signals_ and its weight in the trial.
  struct Term {
    std::size_t slot;
    double weight;
  };
  struct Trial {
    std::size_t first;  // its terms: terms_[first, first + count), in spec order
    std::size_t count;
    double threshold;
    std::uint8_t reads = 0;  // bit k: a signal reads events of kind k
  };

  std::vector<Signal> signals_;  // the union, each distinct signal once
  std::vector<Term> terms_;      // every trial's, one after another (read per event)
  std::vector<Trial> trials_;
  std::uint64_t window_ = 2;
  std::vector<SymbolState> states_;      // by symbol number
  std::vector<double> values_;           // by number, then signal: unrounded values
  std::vector<std::uint8_t> alerting_;   // by number, then trial
  std::vector<SweepCrossings> found_;    // by trial
  // alerting_ as it stood at each checkpoint since the last take(), one
  // after another, and how many symbols it then had.
  std::vector<std::uint8_t> marks_;
  std::vector<std::size_t> marked_symbols_;
};

// Every event of `log` observed in order, as a feeder that accepted them
// would have (the k-th after k accepted events), with its checkpoints.
void sweep_events(const EventLog& log, TrialSweep& sweep);

// The crossings of each trial over `log`, in the trials' order.
std::vector<SweepCrossings> sweep_events(const EventLog& log, std::span<const CompiledSpec> trials);

}  // namespace fenmor::replay
