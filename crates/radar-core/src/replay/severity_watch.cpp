#include "crates/radar-core/src/replay/severity_watch.hpp"

#include <algorithm>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "json/byte_order.hpp"

namespace fenmor::replay {

std::optional<Direction> observe(const CompiledSpec& spec, const SymbolState& state,
                                 const Event* event, Watch& watch, std::span<double> factors) {
  const std::span<const Signal> signals = spec.signals();
  const bool all = event == nullptr || watch.values.size() != signals.size();
  watch.values.resize(signals.size());
  WeightedMean sum;
  for (std::size_t i = 0; i < signals.size(); ++i) {
    if (all || indicator_reads(signals[i].kind, event->index())) {
      watch.values[i] = indicator_value(signals[i], state);
    }
    sum.add(watch.values[i], signals[i].weight);
  }
  const double severity = sum.severity();
  // The test of scan.cpp: a NaN compares false and never alerts.
  const bool alerting = severity >= spec.threshold();
  const bool was = watch.alerting;
  watch.severity = severity;
  watch.ts = state.last_ts();
  watch.alerting = alerting;
  if (alerting && (!watch.peaked || severity > watch.peak)) {
    watch.peaked = true;
    watch.peak = severity;
    watch.peak_ts = watch.ts;
  }
  if (alerting == was) return std::nullopt;
  // Rare: the factors only for the crossing's alert.
  evaluate_into(state, signals, spec.keys(), factors);
  return alerting ? Direction::up : Direction::down;
}

std::string peaks_text(std::span<Peak> peaks) {
  std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
    if (a.severity != b.severity) return a.severity > b.severity;
    return json::byte_less(a.symbol, b.symbol);
  });
  std::string out = "[";
  for (const Peak& peak : peaks) {
    if (out.size() > 1) out.push_back(',');
    append_peak(out, peak);
  }
  out.push_back(']');
  return out;
}

void append_peak(std::string& out, const Peak& peak) {
  out.append(R"({"symbol":)");
  append_json_string(out, peak.symbol);
  out.append(R"(,"severity":)");
  append_json_double(out, peak.severity);
  out.append(R"(,"ts":)");
  append_json_int(out, peak.ts);
  out.push_back('}');
}

}  // namespace fenmor::replay
