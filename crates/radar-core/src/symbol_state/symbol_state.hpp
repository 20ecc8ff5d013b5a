#pragma once
// The rolling summary of one symbol's recent market data: what the indicators
// read and nothing more.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/spec.hpp"
#include "crates/radar-core/src/symbol_state/history_view.hpp"
#include "crates/radar-core/src/symbol_state/ring_buffer.hpp"

namespace fenmor {

// A lookback parameter as a sample count: finite values above zero truncate
// toward zero and saturate at 2^64 - 1; zero, negatives, infinities and NaN
// give 0.
std::uint64_t lookback_count(double first_param) noexcept;

// The lookback of a signal (its first parameter), 0 when it has none: no
// parameters, or a kind without a lookback (funding_flip, book_imbalance).
std::uint64_t signal_lookback(const Signal& signal) noexcept;

// max(L + 1, 2) with L the largest lookback of the oi_delta, liq_cluster and
// oi_price_divergence signals; L + 1 saturates.
std::uint64_t state_window(std::span<const Signal> signals) noexcept;

struct BookVolumes {
  double bid_volume = 0;
  double ask_volume = 0;
};

// Public contract used by the indicators and the scan. The private layout
// (ring buffers that grow with the data up to the window) is this file's own.
class SymbolState {
 public:
  explicit SymbolState(std::uint64_t window);  // no book, empty histories
  static SymbolState from_events(std::uint64_t window, std::span<const Event> events);

  void apply(const Event& event) noexcept;

  // Has the histories loaded into the cache ahead of an evaluation.
  void prefetch() const noexcept {
    derivatives_.prefetch();
    liquidations_.prefetch();
  }

  HistoryView open_interests() const noexcept;
  HistoryView funding_rates() const noexcept;
  HistoryView mark_prices() const noexcept;
  HistoryView liquidation_qtys() const noexcept;
  std::optional<BookVolumes> book() const noexcept;
  std::int64_t last_ts() const noexcept;
  std::uint64_t window() const noexcept;

 private:
  // Open interest, funding rate and mark price arrive together, one row per
  // Derivatives event, so they share one ring (lanes in that order).
  static constexpr std::size_t open_interest_lane = 0;
  static constexpr std::size_t funding_rate_lane = 1;
  static constexpr std::size_t mark_price_lane = 2;

  RingBuffer<3> derivatives_;
  RingBuffer<1> liquidations_;
  std::optional<BookVolumes> book_;
  std::int64_t last_ts_ = std::numeric_limits<std::int64_t>::min();
  std::uint64_t window_;
};

}  // namespace fenmor
