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

namespace fenmor {

// A lookback parameter as a sample count: finite values above zero truncate
// toward zero and saturate at 2^64 - 1; zero, negatives and NaN give 0.
std::uint64_t lookback_count(double first_param) noexcept;

// The lookback of a signal (its first parameter), 0 when it has none.
std::uint64_t signal_lookback(const Signal& signal) noexcept;

// max(L + 1, 2) with L the largest lookback of the oi_delta, liq_cluster and
// oi_price_divergence signals; L + 1 saturates.
std::uint64_t state_window(std::span<const Signal> signals) noexcept;

// A read-only view of one history: index 0 is the oldest value.
class HistoryView {
 public:
  HistoryView() = default;
  HistoryView(const double* data, std::size_t capacity, std::size_t head, std::size_t size,
              std::size_t stride) noexcept
      : data_(data), capacity_(capacity), head_(head), size_(size), stride_(stride) {}

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  double operator[](std::size_t i) const noexcept {
    std::size_t slot = head_ + i;
    if (slot >= capacity_) slot -= capacity_;
    return data_[slot * stride_];
  }
  double newest() const noexcept { return (*this)[size_ - 1]; }

 private:
  const double* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t stride_ = 1;
};

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

  HistoryView open_interests() const noexcept;
  HistoryView funding_rates() const noexcept;
  HistoryView mark_prices() const noexcept;
  HistoryView liquidation_qtys() const noexcept;
  std::optional<BookVolumes> book() const noexcept;
  std::int64_t last_ts() const noexcept;
  std::uint64_t window() const noexcept;

 private:
  // TODO(state): ring buffers, book, last_ts, window.
};

}  // namespace fenmor
