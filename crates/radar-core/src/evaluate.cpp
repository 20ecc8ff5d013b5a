#include "crates/radar-core/src/evaluate.hpp"

#include <algorithm>

namespace fenmor {

FactorKeys::FactorKeys(std::vector<std::string> keys) {
  // std::string orders byte-wise (as unsigned char), which is the factor order.
  names_ = keys;
  std::sort(names_.begin(), names_.end());
  names_.erase(std::unique(names_.begin(), names_.end()), names_.end());

  // Two signals with one key share a slot, and the later one's value wins.
  slot_of_signal_.reserve(keys.size());
  for (const std::string& key : keys) {
    const auto at = std::lower_bound(names_.begin(), names_.end(), key);
    slot_of_signal_.push_back(static_cast<std::size_t>(at - names_.begin()));
  }
  // Every kind name sorts before "severity", so it stays last.
  names_.emplace_back("severity");
}

double evaluate_into(const SymbolState& state, std::span<const Signal> signals,
                     const FactorKeys& keys, std::span<double> factors) noexcept {
  const std::vector<std::size_t>& slots = keys.slot_of_signal();
  WeightedMean mean;
  for (std::size_t i = 0; i < signals.size(); ++i) {
    const double v = indicator_value(signals[i], state);
    mean.add(v, signals[i].weight);
    factors[slots[i]] = quantise(v);
  }
  const double severity = mean.severity();
  factors.back() = severity;
  return severity;
}

double largest_severity(std::span<const Signal> signals) noexcept {
  WeightedMean mean;
  for (const Signal& signal : signals) mean.add(indicator_reach(signal), signal.weight);
  return mean.severity();
}

}  // namespace fenmor
