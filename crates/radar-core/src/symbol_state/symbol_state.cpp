#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <variant>

namespace fenmor {

std::uint64_t lookback_count(double first_param) noexcept {
  // `!(x > 0)` also catches NaN; infinities are not counts either.
  if (!(first_param > 0.0) || std::isinf(first_param)) return 0;
  // 2^64 is exactly representable; anything at or above it would overflow the
  // conversion, which is undefined behaviour rather than a saturation.
  constexpr double two_to_64 = 18446744073709551616.0;
  if (first_param >= two_to_64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(first_param);  // truncates toward zero
}

std::uint64_t signal_lookback(const Signal& signal) noexcept {
  switch (signal.kind) {
    case IndicatorKind::OiDelta:
    case IndicatorKind::LiqCluster:
    case IndicatorKind::OiPriceDivergence:
      return signal.params.empty() ? 0 : lookback_count(signal.params.front());
    case IndicatorKind::FundingFlip:
    case IndicatorKind::BookImbalance:
      break;
  }
  return 0;
}

std::uint64_t state_window(std::span<const Signal> signals) noexcept {
  std::uint64_t longest = 0;
  for (const Signal& signal : signals) longest = std::max(longest, signal_lookback(signal));
  const std::uint64_t window =
      longest == std::numeric_limits<std::uint64_t>::max() ? longest : longest + 1;
  return std::max<std::uint64_t>(window, 2);
}

SymbolState::SymbolState(std::uint64_t window) : window_(window) {}

SymbolState SymbolState::from_events(std::uint64_t window, std::span<const Event> events) {
  SymbolState state(window);
  // The whole list is known: size each ring once instead of growing it.
  std::size_t derivatives = 0;
  std::size_t liquidations = 0;
  for (const Event& event : events) {
    if (std::holds_alternative<Derivatives>(event)) ++derivatives;
    if (std::holds_alternative<Liquidation>(event)) ++liquidations;
  }
  state.derivatives_.reserve(derivatives, window);
  state.liquidations_.reserve(liquidations, window);
  for (const Event& event : events) state.apply(event);
  return state;
}

// Growing a ring may allocate; a failed allocation ends the process, as
// running out of memory is not handled anywhere in the engine.
void SymbolState::apply(const Event& event) noexcept {
  std::visit(
      [this](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, Derivatives>) {
          derivatives_.push({e.open_interest, e.funding_rate, e.mark_price}, window_);
        } else if constexpr (std::is_same_v<E, Orderbook>) {
          book_ = BookVolumes{e.bid_volume, e.ask_volume};
        } else {
          static_assert(std::is_same_v<E, Liquidation>);
          liquidations_.push({e.qty}, window_);  // both sides share one history
        }
        last_ts_ = std::max(last_ts_, e.ts);
      },
      event);
}

HistoryView SymbolState::open_interests() const noexcept {
  return derivatives_.lane(open_interest_lane);
}
HistoryView SymbolState::funding_rates() const noexcept {
  return derivatives_.lane(funding_rate_lane);
}
HistoryView SymbolState::mark_prices() const noexcept {
  return derivatives_.lane(mark_price_lane);
}
HistoryView SymbolState::liquidation_qtys() const noexcept { return liquidations_.lane(0); }
std::optional<BookVolumes> SymbolState::book() const noexcept { return book_; }
std::int64_t SymbolState::last_ts() const noexcept { return last_ts_; }
std::uint64_t SymbolState::window() const noexcept { return window_; }

}  // namespace fenmor
