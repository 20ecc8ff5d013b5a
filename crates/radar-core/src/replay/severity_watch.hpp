#pragma once
// Each fed symbol's severity watched as events come: a crossing when it
// reaches a radar's threshold from below (up) or falls below it again
// (down), and its peak between two checkpoints.
//
// "At or above the threshold" is the test of an alerts reply (a NaN
// severity never passes); the limit is not, since it ranks symbols against
// each other and a crossing is one symbol's. A symbol is below every
// threshold before its first event, so a threshold of 0 or less makes its
// first event an upward crossing.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/scan.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

namespace fenmor::replay {

// What the feeder watches besides its checkpoints.
struct Watching {
  bool crossings = false;
  bool peaks = false;
  bool any() const noexcept { return crossings || peaks; }
};

enum class Direction : std::uint8_t { up, down };

inline std::string_view direction_name(Direction direction) noexcept {
  return direction == Direction::up ? "up" : "down";
}

// One symbol under one radar.
struct Watch {
  // Each signal's unrounded value at the last evaluation, in spec order: an
  // event changes only the signals that read its kind, so only those are
  // evaluated again (empty before the first evaluation).
  std::vector<double> values;
  double severity = 0;     // at the last evaluation
  std::int64_t ts = 0;     // the state's ts then
  double peak = 0;         // highest severity at or above the threshold since the last checkpoint
  std::int64_t peak_ts = 0;
  bool alerting = false;   // at or above the threshold at the last evaluation
  bool peaked = false;     // alerted since the last checkpoint
};

struct Crossing {
  Direction direction = Direction::up;
  std::uint32_t spec = 0;   // the radar's place among the feeder's
  std::uint64_t events = 0; // accepted events, the crossing one included
  std::uint64_t line = 0;   // the line of the event that crossed
  Alert alert;              // the symbol as an alerts reply shows it, crossing event included
};

// Evaluates `state` under `spec` as an alerts reply would, just after
// `event` was applied to it (nullptr: anything may have changed), and moves
// `watch` on. The direction when the severity crossed the threshold; then
// `factors` holds the alert's factors (one value per factor name, severity
// last), as evaluate_into gives them.
std::optional<Direction> observe(const CompiledSpec& spec, const SymbolState& state,
                                 const Event* event, Watch& watch, std::span<double> factors);

// Starts the next interval between checkpoints: a symbol alerting now has
// alerted in it, at its current severity.
inline void restart_peak(Watch& watch) noexcept {
  watch.peaked = watch.alerting;
  watch.peak = watch.severity;
  watch.peak_ts = watch.ts;
}

struct Peak {
  std::string_view symbol;
  double severity;
  std::int64_t ts;
};

// {"symbol":...,"severity":...,"ts":...}
void append_peak(std::string& out, const Peak& peak);
// [peak,...], highest severity first and then symbol byte-wise, as alerts
// are ranked.
std::string peaks_text(std::span<Peak> peaks);

}  // namespace fenmor::replay
