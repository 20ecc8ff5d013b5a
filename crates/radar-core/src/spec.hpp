#pragma once
// The spec: which signals a radar evaluates, the alert threshold and the cap
// on alerts; its validation and the signal key that names each signal.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/radar_error.hpp"

namespace fenmor {

enum class IndicatorKind : std::uint8_t {
  OiDelta = 0,
  FundingFlip = 1,
  BookImbalance = 2,
  LiqCluster = 3,
  OiPriceDivergence = 4,
};

inline constexpr std::array<std::string_view, 5> indicator_names = {
    "oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence"};

constexpr std::string_view name(IndicatorKind kind) noexcept {
  return indicator_names[static_cast<std::size_t>(kind)];
}

// The kind whose name is exactly `text`, if any.
constexpr std::optional<IndicatorKind> indicator_kind_named(std::string_view text) noexcept {
  for (std::size_t i = 0; i < indicator_names.size(); ++i) {
    if (indicator_names[i] == text) return static_cast<IndicatorKind>(i);
  }
  return std::nullopt;
}

// funding_flip and book_imbalance take a scale only; the others a lookback too.
constexpr std::size_t parameter_count(IndicatorKind kind) noexcept {
  return kind == IndicatorKind::FundingFlip || kind == IndicatorKind::BookImbalance ? 1 : 2;
}

struct Signal {
  IndicatorKind kind = IndicatorKind::OiDelta;
  std::vector<double> params;
  double weight = 1.0;
};

struct RadarSpec {
  std::vector<std::string> venues;   // carried, never read
  std::vector<std::string> symbols;  // carried, never read
  std::vector<Signal> signals;
  double threshold = 0.0;
  std::optional<std::uint64_t> limit;  // none: no cap
};

// round(x / 1e-8) * 1e-8, halves away from zero: the rounding of every
// reported number and of the parameters in signal keys.
double quantise(double x) noexcept;

// "kind(p1,p2)" with quantised parameters in plain shortest decimal.
std::string signal_key(const Signal& signal);

// The first failing check, as a BadSpec error; for a valid spec, the signal
// keys in spec order (formatted here once, for the checks and for the factor
// names alike).
std::expected<std::vector<std::string>, RadarError> validate(const RadarSpec& spec);

}  // namespace fenmor
