#pragma once
// Scoring one symbol: each signal's indicator value and the weighted severity.

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "crates/radar-core/src/spec.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

namespace fenmor {

// One signal's value in [0, 1] (negative zero possible); 0 for every guard.
double indicator_value(const Signal& signal, const SymbolState& state) noexcept;

// Whether an indicator's value can change when an event of this kind (its
// index in the Event variant) is applied: each reads the histories of one
// event kind only.
bool indicator_reads(IndicatorKind kind, std::size_t event_kind) noexcept;

// The largest value indicator_value can give for `signal` over any state
// whose volumes are not negative: 0 for a signal that is always 0 (a
// lookback of no whole sample, a scale that divides every measurement to 0
// or below), 1/s for book_imbalance with a scale s above 1, else 1.
double indicator_reach(const Signal& signal) noexcept;

// The severity of signal values: their weighted mean, 0 when every weight is
// 0, quantised. Products and sums are rounded separately in signal order, so
// every platform reports the same digits.
class WeightedMean {
 public:
  void add(double value, double weight) noexcept {
    const double product = value * weight;
    weighted_ = weighted_ + product;
    total_ = total_ + weight;
  }
  // The mean comes from the unrounded values; only what is reported is rounded.
  double severity() const noexcept { return total_ > 0.0 ? quantise(weighted_ / total_) : 0.0; }
  // The sums themselves, for comparing the mean with a bound without dividing.
  double weighted() const noexcept { return weighted_; }
  double total() const noexcept { return total_; }

 private:
  double weighted_ = 0.0;
  double total_ = 0.0;
};

// The largest severity any symbol can reach under `signals`: the weighted
// mean of their reaches.
double largest_severity(std::span<const Signal> signals) noexcept;

// The factor names of a spec: the signal keys in ascending byte order
// followed by "severity".
class FactorKeys {
 public:
  // From the signal keys of a spec, in spec order.
  explicit FactorKeys(std::vector<std::string> signal_keys);

  // Ascending byte-wise, "severity" last.
  const std::vector<std::string>& names() const noexcept { return names_; }
  // Index into names() of each signal, in spec order.
  const std::vector<std::size_t>& slot_of_signal() const noexcept { return slot_of_signal_; }

 private:
  std::vector<std::string> names_;
  std::vector<std::size_t> slot_of_signal_;
};

// Scores one symbol into a caller's buffer of keys.names().size() values, so a
// scan can reuse one buffer for the symbols that do not pass: factors[i] is
// the reported value under keys.names()[i], the last one the severity, which
// is also returned.
double evaluate_into(const SymbolState& state, std::span<const Signal> signals,
                     const FactorKeys& keys, std::span<double> factors) noexcept;

}  // namespace fenmor
