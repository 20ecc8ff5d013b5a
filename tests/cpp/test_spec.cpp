// Spec validation, signal keys and quantise.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "crates/radar-core/src/spec.hpp"

using fenmor::IndicatorKind;
using fenmor::RadarSpec;
using fenmor::Signal;

namespace {

Signal signal(IndicatorKind kind, std::vector<double> params, double weight = 1.0) {
  return Signal{kind, std::move(params), weight};
}

TEST(Quantise, RoundsHalvesAwayFromZeroOnTheQuotient) {
  EXPECT_EQ(fenmor::quantise(0.123456789), std::round(0.123456789 / 1e-8) * 1e-8);
  EXPECT_EQ(fenmor::quantise(0.000000005), 1e-8);
  EXPECT_EQ(fenmor::quantise(-0.000000005), -1e-8);
  EXPECT_EQ(fenmor::quantise(3e-8), 3.0000000000000004e-8);
  EXPECT_TRUE(std::signbit(fenmor::quantise(-0.000000001)));
  EXPECT_TRUE(std::isnan(fenmor::quantise(std::nan(""))));
  EXPECT_EQ(fenmor::quantise(1.0), 1.0);
}

TEST(SignalKey, Examples) {
  const std::pair<Signal, const char*> cases[] = {
      {signal(IndicatorKind::FundingFlip, {0.0001}), "funding_flip(0.0001)"},
      {signal(IndicatorKind::LiqCluster, {20, 1000000}), "liq_cluster(20,1000000)"},
      {signal(IndicatorKind::OiDelta, {12.0, 0.05}), "oi_delta(12,0.05)"},
      {signal(IndicatorKind::BookImbalance, {0.000000015}), "book_imbalance(0.00000001)"},
      {signal(IndicatorKind::BookImbalance, {0.000000005}), "book_imbalance(0.00000001)"},
      {signal(IndicatorKind::BookImbalance, {0.000000001}), "book_imbalance(0)"},
      {signal(IndicatorKind::BookImbalance, {-0.000000001}), "book_imbalance(-0)"},
      {signal(IndicatorKind::OiDelta, {1e21, 2}), "oi_delta(1000000000000000000000,2)"},
      {signal(IndicatorKind::FundingFlip, {0.123456789}), "funding_flip(0.12345679)"},
      {signal(IndicatorKind::OiDelta, {12.9, 0.05}), "oi_delta(12.9,0.05)"},
      {signal(IndicatorKind::OiPriceDivergence, {3e-8, 1}),
       "oi_price_divergence(0.000000030000000000000004,1)"},
      {signal(IndicatorKind::FundingFlip, {}), "funding_flip()"},
  };
  for (const auto& [s, key] : cases) EXPECT_EQ(fenmor::signal_key(s), key);
}

std::string validation(const RadarSpec& spec) {
  auto result = fenmor::validate(spec);
  return result ? "ok" : result.error().text();
}

RadarSpec spec_of(std::vector<Signal> signals, double threshold = 0.0,
                  std::optional<std::uint64_t> limit = std::nullopt) {
  RadarSpec spec;
  spec.signals = std::move(signals);
  spec.threshold = threshold;
  spec.limit = limit;
  return spec;
}

TEST(Validate, ChecksInOrder) {
  const double inf = std::numeric_limits<double>::infinity();
  const Signal flip = signal(IndicatorKind::FundingFlip, {0.0001});
  struct Case {
    RadarSpec spec;
    const char* expected;
  };
  const Case cases[] = {
      {spec_of({}, 0.0, 0), "bad spec: at least one signal is required"},
      {spec_of({flip}, std::nan(""), 0), "bad spec: threshold must be finite"},
      {spec_of({flip}, -inf), "bad spec: threshold must be finite"},
      {spec_of({flip}, 0.5, 0), "bad spec: limit must be greater than zero"},
      {spec_of({flip}, 0.5, 1), "ok"},
      {spec_of({flip}, -3.0), "ok"},
      {spec_of({signal(IndicatorKind::FundingFlip, {1, 2})}),
       "bad spec: funding_flip takes 1 parameter(s), got 2"},
      {spec_of({signal(IndicatorKind::OiDelta, {})}), "bad spec: oi_delta takes 2 parameter(s), got 0"},
      {spec_of({signal(IndicatorKind::FundingFlip, {0.1}, -0.5)}),
       "bad spec: funding_flip weight must be finite and non-negative"},
      {spec_of({signal(IndicatorKind::LiqCluster, {5, 1}, inf)}),
       "bad spec: liq_cluster weight must be finite and non-negative"},
      {spec_of({signal(IndicatorKind::LiqCluster, {5, 1}, std::nan(""))}),
       "bad spec: liq_cluster weight must be finite and non-negative"},
      {spec_of({signal(IndicatorKind::FundingFlip, {0.1}, 0.0)}), "ok"},
      {spec_of({signal(IndicatorKind::FundingFlip, {0.1}, -0.0)}), "ok"},
      // The parameter count is checked before the weight of the same signal.
      {spec_of({signal(IndicatorKind::FundingFlip, {}, -1)}),
       "bad spec: funding_flip takes 1 parameter(s), got 0"},
      // Each signal is checked completely before the next.
      {spec_of({flip, signal(IndicatorKind::OiDelta, {1}), flip}),
       "bad spec: oi_delta takes 2 parameter(s), got 1"},
      {spec_of({flip, signal(IndicatorKind::FundingFlip, {0.0001}, 3)}),
       "bad spec: duplicate signal: funding_flip(0.0001)"},
      {spec_of({signal(IndicatorKind::BookImbalance, {0.2}, 1),
                signal(IndicatorKind::BookImbalance, {0.200000001}, 3)}),
       "bad spec: duplicate signal: book_imbalance(0.2)"},
      {spec_of({signal(IndicatorKind::OiDelta, {12, 0.05}),
                signal(IndicatorKind::OiPriceDivergence, {12, 0.05})}),
       "ok"},
      {spec_of({signal(IndicatorKind::OiDelta, {12, 0.05}), signal(IndicatorKind::OiDelta, {0.05, 12})}),
       "ok"},
  };
  for (const Case& c : cases) EXPECT_EQ(validation(c.spec), c.expected);
}

}  // namespace
