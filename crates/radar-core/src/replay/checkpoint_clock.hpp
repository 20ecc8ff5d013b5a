#pragma once
// When a replay looks at the alerts: right after every N-th accepted event,
// before the first accepted event past a multiple of T in ts, and at the end.
//
// ts checkpoints fall on multiples of T (ts / T, rounded down, changes), not
// on T after the first event, so that two replays of overlapping data agree
// on the boundaries. A checkpoint at a boundary shows the state before the
// first event past it. The clock is the largest ts accepted: an older ts
// never moves it back. A rejected line is never shown to the clock.

#include <cstdint>
#include <limits>
#include <optional>

namespace fenmor::replay {

struct CheckpointPolicy {
  std::optional<std::uint64_t> every_events;  // > 0 when set
  std::optional<std::uint64_t> every_ts;      // > 0 when set
};

// ts / T rounded towards minus infinity, exact for every ts and T > 0.
inline std::int64_t ts_period(std::int64_t ts, std::uint64_t every_ts) noexcept {
  if (every_ts > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return ts < 0 ? -1 : 0;
  const auto t = static_cast<std::int64_t>(every_ts);
  const std::int64_t q = ts / t;
  return (ts % t != 0 && ts < 0) ? q - 1 : q;
}

class CheckpointClock {
 public:
  explicit CheckpointClock(CheckpointPolicy policy) noexcept : policy_(policy) {}

  // Whether a checkpoint falls before an event with this ts.
  bool due_before(std::int64_t ts) const noexcept {
    if (!policy_.every_ts || !ts_) return false;
    return period_of(ts) > period_of(*ts_);
  }

  // Counts one accepted event; whether a checkpoint falls right after it.
  bool fed(std::int64_t ts) noexcept {
    ++events_;
    if (!ts_ || ts > *ts_) ts_ = ts;
    return policy_.every_events && events_ % *policy_.every_events == 0;
  }

  // Whether the end needs its own checkpoint: always when none was taken
  // (even for an empty input), never twice for the same state.
  bool due_at_end() const noexcept { return events_at_last_ != events_; }

  void taken() noexcept { events_at_last_ = events_; }

  std::uint64_t events() const noexcept { return events_; }
  std::optional<std::int64_t> ts() const noexcept { return ts_; }

 private:
  std::int64_t period_of(std::int64_t ts) const noexcept { return ts_period(ts, *policy_.every_ts); }

  CheckpointPolicy policy_;
  std::uint64_t events_ = 0;
  std::optional<std::int64_t> ts_;
  std::optional<std::uint64_t> events_at_last_;
};

}  // namespace fenmor::replay
