#include "crates/radar-core/src/scan.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor {
namespace {

// Evaluates the candidates one after another on the calling thread. The
// factor buffer is reused; only a passing symbol gets its own copy.
class Selection {
 public:
  explicit Selection(const RadarSpec& spec) : spec_(spec), keys_(spec.signals) {
    scratch_.resize(keys_.names().size());
  }

  void consider(std::string_view symbol, const SymbolState& state) {
    ++scanned_;
    const double severity = evaluate_into(state, spec_.signals, keys_, scratch_);
    // A NaN severity compares false and never passes.
    if (!(severity >= spec_.threshold)) return;
    alerts_.push_back(Alert{std::string(symbol), severity,
                            std::vector<double>(scratch_.begin(), scratch_.end()),
                            state.last_ts()});
  }

  ScanResult finish() && {
    rank_and_limit();
    return ScanResult{keys_.names(), std::move(alerts_), scanned_};
  }

 private:
  // Highest severity first, then symbol byte-wise. Symbols are unique within
  // a scan, so the order is total and any sort gives the same list.
  static bool ranks_before(const Alert& a, const Alert& b) noexcept {
    if (a.severity != b.severity) return a.severity > b.severity;
    return a.symbol < b.symbol;
  }

  void rank_and_limit() {
    const std::optional<std::uint64_t>& limit = spec_.limit;
    if (limit && *limit < alerts_.size()) {
      const auto keep = static_cast<std::ptrdiff_t>(*limit);
      std::partial_sort(alerts_.begin(), alerts_.begin() + keep, alerts_.end(), ranks_before);
      alerts_.erase(alerts_.begin() + keep, alerts_.end());
    } else {
      std::sort(alerts_.begin(), alerts_.end(), ranks_before);
    }
  }

  const RadarSpec& spec_;
  FactorKeys keys_;
  std::vector<double> scratch_;
  std::vector<Alert> alerts_;
  std::uint64_t scanned_ = 0;
};

}  // namespace

ScanResult scan_dataset(const RadarSpec& spec, const Dataset& dataset) {
  Selection selection(spec);
  for (const auto& [symbol, state] : dataset) selection.consider(symbol, state);
  return std::move(selection).finish();
}

ScanResult scan_events(const RadarSpec& spec, const SymbolEvents& events) {
  const std::uint64_t window = state_window(spec.signals);

  // Every symbol's slot exists before any worker starts, so each worker only
  // writes the slots of its own indexes and the list keeps the input order.
  std::vector<SymbolState> states;
  states.reserve(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) states.emplace_back(window);

  parallel_for(events.size(), [&](std::size_t i) {
    states[i] = SymbolState::from_events(window, events[i].second);
  });

  Selection selection(spec);
  for (std::size_t i = 0; i < events.size(); ++i) selection.consider(events[i].first, states[i]);
  return std::move(selection).finish();
}

}  // namespace fenmor
