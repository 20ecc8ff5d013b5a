// Indicator values: each kind's guards, worked values, and the normalisation
// of overflowing, zero-scale and negative results.

#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

namespace fenmor {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

Event derivatives(double oi, double rate, double px) { return Derivatives{0, oi, rate, px}; }
Event oi_sample(double oi) { return derivatives(oi, 0.0, 1.0); }
Event rate_sample(double rate) { return derivatives(1.0, rate, 1.0); }
Event book(double bid, double ask) { return Orderbook{0, bid, ask, 1.0, 2.0}; }
Event liquidation(double qty) { return Liquidation{0, Side::Sell, qty, 1.0}; }

SymbolState state_of(const std::vector<Event>& events, std::uint64_t window = 64) {
  return SymbolState::from_events(window, events);
}

struct Case {
  std::string name;
  IndicatorKind kind;
  std::vector<double> params;
  std::vector<Event> events;
  double expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class IndicatorValue : public ::testing::TestWithParam<Case> {};

TEST_P(IndicatorValue, MatchesDefinition) {
  const Case& c = GetParam();
  const double v = indicator_value(Signal{c.kind, c.params, 1.0}, state_of(c.events));
  EXPECT_EQ(v, c.expected) << c.name;
  EXPECT_EQ(std::signbit(v), std::signbit(c.expected)) << c.name << ": sign of zero";
}

using K = IndicatorKind;

INSTANTIATE_TEST_SUITE_P(
    OiDelta, IndicatorValue,
    ::testing::Values(
        Case{"no_samples", K::OiDelta, {1, 0.1}, {}, 0.0},
        Case{"lookback_3_needs_4_samples", K::OiDelta, {3, 1},
             {oi_sample(100), oi_sample(999), oi_sample(999)}, 0.0},
        Case{"lookback_3_compares_with_first", K::OiDelta, {3, 1},
             {oi_sample(100), oi_sample(999), oi_sample(1), oi_sample(130)}, 30.0 / 100.0},
        Case{"lookback_0_compares_with_itself", K::OiDelta, {0, 1},
             {oi_sample(100), oi_sample(200)}, 0.0},
        Case{"fractional_lookback_truncates", K::OiDelta, {1.9, 1},
             {oi_sample(7), oi_sample(100), oi_sample(150)}, 0.5},
        Case{"zero_then_floors_and_saturates", K::OiDelta, {1, 1000},
             {oi_sample(0), oi_sample(1)}, 1.0},
        Case{"negative_then_floors", K::OiDelta, {1, 1e20},
             {oi_sample(-5), oi_sample(5)}, 10.0 / 1e-12 / 1e20},
        Case{"overflow_gives_0", K::OiDelta, {1, 1},
             {oi_sample(-1.7e308), oi_sample(1.7e308)}, 0.0},
        Case{"nan_sample_gives_0", K::OiDelta, {1, 1}, {oi_sample(1), oi_sample(nan)}, 0.0},
        Case{"above_1_clamps", K::OiDelta, {1, 0.1}, {oi_sample(100), oi_sample(200)}, 1.0}),
    test::NamedBy<&Case::name>{});

INSTANTIATE_TEST_SUITE_P(
    FundingFlip, IndicatorValue,
    ::testing::Values(
        Case{"one_rate", K::FundingFlip, {0.001}, {rate_sample(0.0005)}, 0.0},
        Case{"same_sign", K::FundingFlip, {0.001}, {rate_sample(0.0004), rate_sample(0.0006)},
             0.0006 / 0.001},
        Case{"flip_doubles_then_clamps", K::FundingFlip, {0.001},
             {rate_sample(-0.0004), rate_sample(0.0006)}, 1.0},
        Case{"flip_doubles", K::FundingFlip, {0.001},
             {rate_sample(0.0004), rate_sample(-0.0003)}, 0.0003 / 0.001 * 2},
        Case{"zero_before_is_no_flip", K::FundingFlip, {0.001},
             {rate_sample(0), rate_sample(-0.0002)}, 0.0002 / 0.001},
        Case{"zero_now_is_no_flip", K::FundingFlip, {0.001},
             {rate_sample(-0.0002), rate_sample(0)}, 0.0},
        Case{"only_newest_two_count", K::FundingFlip, {0.001},
             {rate_sample(-0.0009), rate_sample(0.0001), rate_sample(0.0002)}, 0.0002 / 0.001},
        Case{"overflow_gives_0", K::FundingFlip, {1e-300},
             {rate_sample(1), rate_sample(1e300)}, 0.0}),
    test::NamedBy<&Case::name>{});

INSTANTIATE_TEST_SUITE_P(
    BookImbalance, IndicatorValue,
    ::testing::Values(
        Case{"no_book", K::BookImbalance, {1}, {oi_sample(1)}, 0.0},
        Case{"both_zero", K::BookImbalance, {1}, {book(0, 0)}, 0.0},
        Case{"one_sided", K::BookImbalance, {1}, {book(5, 0)}, 1.0},
        Case{"ask_heavy", K::BookImbalance, {1}, {book(100, 300)}, 0.5},
        Case{"negative_sum_floors", K::BookImbalance, {1e20}, {book(1, -2)}, 3 / 1e-12 / 1e20},
        Case{"overflow_gives_0", K::BookImbalance, {1}, {book(1.7e308, -1.7e308)}, 0.0}),
    test::NamedBy<&Case::name>{});

INSTANTIATE_TEST_SUITE_P(
    LiqCluster, IndicatorValue,
    ::testing::Values(
        Case{"empty_is_positive_zero", K::LiqCluster, {3, 1000}, {}, 0.0},
        Case{"newest_three", K::LiqCluster, {3, 1000},
             {liquidation(100), liquidation(200), liquidation(300), liquidation(400)},
             (200.0 + 300.0 + 400.0) / 1000},
        Case{"lookback_beyond_history_sums_all", K::LiqCluster, {10, 2000},
             {liquidation(100), liquidation(200), liquidation(300), liquidation(400)},
             1000.0 / 2000},
        Case{"truncated_lookback_is_negative_zero", K::LiqCluster, {0.5, 1000},
             {liquidation(100)}, -0.0},
        Case{"oldest_first_summation", K::LiqCluster, {3, 1},
             {liquidation(1e-16), liquidation(1), liquidation(-1)}, 0.0 + ((1e-16 + 1) - 1)},
        Case{"overflow_gives_0", K::LiqCluster, {2, 1},
             {liquidation(1.7e308), liquidation(1.7e308)}, 0.0}),
    test::NamedBy<&Case::name>{});

INSTANTIATE_TEST_SUITE_P(
    OiPriceDivergence, IndicatorValue,
    ::testing::Values(
        Case{"not_enough_samples", K::OiPriceDivergence, {1, 0.1}, {derivatives(100, 0, 50)},
             0.0},
        Case{"opposite_moves_saturate", K::OiPriceDivergence, {1, 0.1},
             {derivatives(100, 0, 50), derivatives(110, 0, 45)}, 1.0},
        Case{"same_direction_is_0", K::OiPriceDivergence, {1, 0.1},
             {derivatives(100, 0, 50), derivatives(105, 0, 52)}, 0.0},
        Case{"flat_price_is_0", K::OiPriceDivergence, {1, 0.1},
             {derivatives(100, 0, 50), derivatives(50, 0, 50)}, 0.0},
        Case{"scale_is_squared", K::OiPriceDivergence, {1, 0.5},
             {derivatives(100, 0, 100), derivatives(90, 0, 110)},
             ((110.0 - 100) / 100 * -((90.0 - 100) / 100)) / (0.5 * 0.5)},
        Case{"negative_scale_squares_positive", K::OiPriceDivergence, {1, -0.5},
             {derivatives(100, 0, 100), derivatives(90, 0, 110)},
             ((110.0 - 100) / 100 * -((90.0 - 100) / 100)) / (0.5 * 0.5)},
        Case{"lookback_2", K::OiPriceDivergence, {2, 1},
             {derivatives(100, 0, 100), derivatives(1, 0, 1), derivatives(50, 0, 150)},
             0.5 * 0.5},
        Case{"overflow_gives_0", K::OiPriceDivergence, {1, 1},
             {derivatives(1e-300, 0, 1), derivatives(1e300, 0, 0.5)}, 0.0}),
    test::NamedBy<&Case::name>{});

// A zero (or negative zero) scale never saturates to 1, and a negative scale
// gives 0, for every kind fed data that would otherwise give a positive value.
struct ScaleCase {
  IndicatorKind kind;
  double lookback;  // ignored by the one-parameter kinds
};

class DegenerateScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(DegenerateScale, GivesZero) {
  const ScaleCase c = GetParam();
  const SymbolState state = state_of({derivatives(100, 0.0004, 50), derivatives(110, -0.0003, 45),
                                      book(300, 100), liquidation(5)});
  // 1e-320 is not zero, but every ratio over it overflows.
  for (const double scale : {0.0, -0.0, 1e-320}) {
    std::vector<double> params = parameter_count(c.kind) == 1
                                     ? std::vector<double>{scale}
                                     : std::vector<double>{c.lookback, scale};
    const double v = indicator_value(Signal{c.kind, params, 1.0}, state);
    EXPECT_EQ(v, 0.0) << name(c.kind) << " scale " << scale;
    EXPECT_FALSE(std::signbit(v)) << name(c.kind) << " scale " << scale;
  }
  if (c.kind != IndicatorKind::OiPriceDivergence) {
    std::vector<double> params = parameter_count(c.kind) == 1
                                     ? std::vector<double>{-1.0}
                                     : std::vector<double>{c.lookback, -1.0};
    EXPECT_EQ(indicator_value(Signal{c.kind, params, 1.0}, state), 0.0) << name(c.kind);
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, DegenerateScale,
                         ::testing::Values(ScaleCase{K::OiDelta, 1}, ScaleCase{K::FundingFlip, 0},
                                           ScaleCase{K::BookImbalance, 0},
                                           ScaleCase{K::LiqCluster, 1},
                                           ScaleCase{K::OiPriceDivergence, 1}),
    [](const auto& test_case) {
      return test::case_name(test_case.index, name(test_case.param.kind));
    });

TEST(IndicatorGuards, MissingParametersGiveZeroInsteadOfReadingPastTheEnd) {
  const SymbolState state = state_of({derivatives(100, 0.0004, 50), derivatives(110, -0.0003, 45),
                                      book(300, 100), liquidation(5)});
  for (const IndicatorKind kind : {K::OiDelta, K::FundingFlip, K::BookImbalance, K::LiqCluster,
                                   K::OiPriceDivergence}) {
    EXPECT_EQ(indicator_value(Signal{kind, {}, 1.0}, state), 0.0) << name(kind);
    if (parameter_count(kind) == 2) {
      EXPECT_EQ(indicator_value(Signal{kind, {1.0}, 1.0}, state), 0.0) << name(kind);
    }
  }
}

TEST(IndicatorGuards, HugeLookbackNeverReachesBack) {
  const SymbolState state =
      state_of({derivatives(100, 0, 50), derivatives(110, 0, 45), liquidation(5)});
  for (const double lookback : {1e300, inf, 18446744073709551616.0}) {
    EXPECT_EQ(indicator_value(Signal{K::OiDelta, {lookback, 0.1}, 1.0}, state), 0.0);
    EXPECT_EQ(indicator_value(Signal{K::OiPriceDivergence, {lookback, 0.1}, 1.0}, state), 0.0);
  }
  // A huge lookback sums what there is; an infinite one counts as 0 samples.
  EXPECT_EQ(indicator_value(Signal{K::LiqCluster, {1e300, 10}, 1.0}, state), 0.5);
  const double infinite = indicator_value(Signal{K::LiqCluster, {inf, 10}, 1.0}, state);
  EXPECT_EQ(infinite, 0.0);
  EXPECT_TRUE(std::signbit(infinite));
}

TEST(IndicatorGuards, WindowedHistoryStillLooksBackFromNewest) {
  // Window 2 keeps only the two newest samples: lookback 1 reads 150 -> 300.
  const SymbolState state = state_of({oi_sample(1), oi_sample(150), oi_sample(300)}, 2);
  EXPECT_EQ(indicator_value(Signal{K::OiDelta, {1, 2}, 1.0}, state), 0.5);
}

// The reach a spec check reports is a true bound: no state gives more, and a
// state that drives every measurement high gives exactly it.
TEST(IndicatorReach, BoundsEveryValueAndIsReached) {
  std::vector<Event> driven;
  for (int i = 0; i < 6; ++i) {
    driven.push_back(derivatives(i < 5 ? 1.0 : 1e6, i % 2 == 0 ? -5.0 : 5.0, i < 5 ? 1.0 : 1e-6));
    driven.push_back(liquidation(1e6));
  }
  driven.push_back(book(1, 0));
  const std::vector<SymbolState> states = {
      state_of({}),
      state_of(driven),
      state_of({oi_sample(100), oi_sample(101), rate_sample(0.0001), book(3, 1), liquidation(2)}),
      state_of({derivatives(5, 0, 5), derivatives(1, 0, 9), book(0, 7), liquidation(0)}),
  };
  for (const IndicatorKind kind : {K::OiDelta, K::FundingFlip, K::BookImbalance, K::LiqCluster,
                                   K::OiPriceDivergence}) {
    for (const double lookback : {0.0, 0.5, 1.0, 3.0, 1e300}) {
      for (const double scale : {-1.0, 0.0, 1e-200, 0.05, 2.0, 1e200}) {
        const Signal signal{kind,
                            parameter_count(kind) == 1 ? std::vector<double>{scale}
                                                       : std::vector<double>{lookback, scale},
                            1.0};
        const double reach = indicator_reach(signal);
        double most = 0.0;
        for (const SymbolState& state : states) most = std::max(most, indicator_value(signal, state));
        EXPECT_LE(most, reach) << name(kind) << " " << lookback << " " << scale;
        // The driven state saturates every kind for a lookback it holds and a moderate scale.
        const bool held = parameter_count(kind) == 1 || (lookback >= 1.0 && lookback <= 3.0);
        if (held && std::fabs(scale) <= 2.0) {
          EXPECT_EQ(most, reach) << name(kind) << " " << lookback << " " << scale;
        }
      }
    }
  }
}

}  // namespace
}  // namespace fenmor
