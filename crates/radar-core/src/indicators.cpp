// The five indicators. Each reads the state, computes a raw measurement and
// maps it onto [0, 1]; missing data and every non-finite intermediate give 0.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/event.hpp"

namespace fenmor {
namespace {

template <class Kind>
constexpr std::size_t variant_index() noexcept {
  return Event(Kind{}).index();
}

constexpr double denominator_floor = 1e-12;
constexpr double flip_multiplier = 2.0;

// A zero, negative, tiny or NaN denominator becomes the floor.
double floored(double x) noexcept { return x > denominator_floor ? x : denominator_floor; }

// A missing parameter reads as NaN, which every indicator turns into 0
// (a NaN lookback counts 0 samples, a NaN scale makes the result NaN).
double param(const Signal& signal, std::size_t i) noexcept {
  return i < signal.params.size() ? signal.params[i]
                                  : std::numeric_limits<double>::quiet_NaN();
}

// Not finite or negative -> 0, above 1 -> 1. Written as comparisons so that
// a negative zero passes through unchanged.
double normalise(double b) noexcept {
  if (!std::isfinite(b)) return 0.0;
  if (b < 0.0) return 0.0;
  if (b > 1.0) return 1.0;
  return b;
}

double relative_change(double then, double now) noexcept { return (now - then) / floored(then); }

double oi_delta(const Signal& signal, const SymbolState& state) noexcept {
  const std::uint64_t n = lookback_count(param(signal, 0));
  const HistoryView oi = state.open_interests();
  if (oi.size() <= n) return 0.0;
  const std::size_t len = oi.size();
  const double then = oi[len - 1 - static_cast<std::size_t>(n)];
  return normalise(std::fabs(relative_change(then, oi[len - 1])) / param(signal, 1));
}

double funding_flip(const Signal& signal, const SymbolState& state) noexcept {
  const HistoryView rates = state.funding_rates();
  if (rates.size() < 2) return 0.0;
  const double k = rates[rates.size() - 1];
  const double p = rates[rates.size() - 2];
  double b = std::fabs(k) / param(signal, 0);
  // Strictly opposite signs: a zero on either side is no flip.
  if (k * p < 0.0) b = b * flip_multiplier;
  return normalise(b);
}

double book_imbalance(const Signal& signal, const SymbolState& state) noexcept {
  const auto book = state.book();
  if (!book) return 0.0;
  const double bid = book->bid_volume;
  const double ask = book->ask_volume;
  return normalise(std::fabs((bid - ask) / floored(bid + ask)) / param(signal, 0));
}

double liq_cluster(const Signal& signal, const SymbolState& state) noexcept {
  const HistoryView qtys = state.liquidation_qtys();
  if (qtys.empty()) return 0.0;
  const std::uint64_t n = lookback_count(param(signal, 0));
  const std::size_t len = qtys.size();
  const std::size_t m = n < len ? static_cast<std::size_t>(n) : len;
  // Oldest to newest from negative zero, so a lookback of 0 sums to -0 and
  // the order of the additions is fixed.
  double sum = -0.0;
  for (std::size_t i = len - m; i < len; ++i) sum = sum + qtys[i];
  return normalise(sum / param(signal, 1));
}

double oi_price_divergence(const Signal& signal, const SymbolState& state) noexcept {
  const std::uint64_t n = lookback_count(param(signal, 0));
  const HistoryView oi = state.open_interests();
  const HistoryView px = state.mark_prices();
  // The two histories are appended together; min() only guards a broken state.
  const std::size_t len = oi.size() < px.size() ? oi.size() : px.size();
  if (len <= n) return 0.0;
  const std::size_t then = len - 1 - static_cast<std::size_t>(n);
  const double r_oi = relative_change(oi[then], oi[len - 1]);
  const double r_px = relative_change(px[then], px[len - 1]);
  const double x = r_px * -r_oi;
  const double s = param(signal, 1);
  // The scale is squared: x is a product of two relative changes.
  return normalise((x > 0.0 ? x : 0.0) / (s * s));
}

// Whether dividing a measurement that is never negative by `scale` can give
// anything above 0. oi_price_divergence squares its scale, so only 0 and
// infinity leave it nothing.
bool scale_reaches(const Signal& signal, double scale) noexcept {
  if (signal.kind == IndicatorKind::OiPriceDivergence) scale = scale * scale;
  return scale > 0.0 && !std::isinf(scale);
}

}  // namespace

bool indicator_reads(IndicatorKind kind, std::size_t event_kind) noexcept {
  constexpr std::size_t derivatives = variant_index<Derivatives>();
  constexpr std::size_t orderbook = variant_index<Orderbook>();
  constexpr std::size_t liquidation = variant_index<Liquidation>();
  switch (kind) {
    case IndicatorKind::OiDelta:
    case IndicatorKind::FundingFlip:
    case IndicatorKind::OiPriceDivergence:
      return event_kind == derivatives;
    case IndicatorKind::BookImbalance:
      return event_kind == orderbook;
    case IndicatorKind::LiqCluster:
      return event_kind == liquidation;
  }
  return true;
}

double indicator_reach(const Signal& signal) noexcept {
  switch (signal.kind) {
    case IndicatorKind::OiDelta:
    case IndicatorKind::LiqCluster:
    case IndicatorKind::OiPriceDivergence:
      // A lookback of 0 compares a sample with itself (or sums nothing).
      if (lookback_count(param(signal, 0)) == 0) return 0.0;
      return scale_reaches(signal, param(signal, 1)) ? 1.0 : 0.0;
    case IndicatorKind::FundingFlip:
      return scale_reaches(signal, param(signal, 0)) ? 1.0 : 0.0;
    case IndicatorKind::BookImbalance: {
      // The imbalance of volumes that are not negative is at most 1.
      const double scale = param(signal, 0);
      if (!scale_reaches(signal, scale)) return 0.0;
      return scale > 1.0 ? 1.0 / scale : 1.0;
    }
  }
  return 0.0;
}

double indicator_value(const Signal& signal, const SymbolState& state) noexcept {
  switch (signal.kind) {
    case IndicatorKind::OiDelta:
      return oi_delta(signal, state);
    case IndicatorKind::FundingFlip:
      return funding_flip(signal, state);
    case IndicatorKind::BookImbalance:
      return book_imbalance(signal, state);
    case IndicatorKind::LiqCluster:
      return liq_cluster(signal, state);
    case IndicatorKind::OiPriceDivergence:
      return oi_price_divergence(signal, state);
  }
  return 0.0;
}

}  // namespace fenmor
