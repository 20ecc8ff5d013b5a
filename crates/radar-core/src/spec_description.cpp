#include "crates/radar-core/src/spec_description.hpp"

#include <limits>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

namespace fenmor {

namespace {

using event_schema::VariantId;

// What a signal reads: a lookback of n compares the newest derivatives
// event with the one n before it, or sums the last n liquidations.
SignalDescription needs_of(const Signal& signal) {
  SignalDescription out{{}, std::nullopt, VariantId::Derivatives, 0, indicator_reach(signal)};
  switch (signal.kind) {
    case IndicatorKind::OiDelta:
    case IndicatorKind::OiPriceDivergence: {
      const std::uint64_t n = signal_lookback(signal);
      out.lookback = n;
      if (n > 0) out.samples = n == std::numeric_limits<std::uint64_t>::max() ? n : n + 1;
      break;
    }
    case IndicatorKind::LiqCluster:
      out.lookback = signal_lookback(signal);
      out.source = VariantId::Liquidation;
      out.samples = *out.lookback;
      break;
    case IndicatorKind::FundingFlip:
      out.samples = 2;  // the latest rate and the one before
      break;
    case IndicatorKind::BookImbalance:
      out.source = VariantId::Orderbook;
      out.samples = 1;
      break;
  }
  return out;
}

}  // namespace

SpecDescription describe(const CompiledSpec& spec) {
  SpecDescription out;
  const std::vector<std::string>& names = spec.keys().names();
  const std::vector<std::size_t>& slots = spec.keys().slot_of_signal();
  out.signals.reserve(spec.signals().size());
  for (std::size_t i = 0; i < spec.signals().size(); ++i) {
    SignalDescription signal = needs_of(spec.signals()[i]);
    signal.key = names[slots[i]];
    out.signals.push_back(signal);
  }
  out.largest_severity = largest_severity(spec.signals());
  return out;
}

}  // namespace fenmor
