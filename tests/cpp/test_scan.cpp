// Scoring one symbol (evaluate) and scanning many: selection, ranking, limit,
// and the parallel build of a "scan" request giving the sequential result.

#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/scan.hpp"
#include "crates/radar-core/src/symbol_state/dataset.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

namespace fenmor {
namespace {

// More workers than cores, so pieces interleave as much as they can. Read
// once, when the pool is first used.
[[maybe_unused]] const int force_workers = setenv("FENMOR_RADAR_WORKERS", "4", 0);

using K = IndicatorKind;
constexpr std::int64_t no_ts = std::numeric_limits<std::int64_t>::min();

Signal signal(IndicatorKind kind, std::vector<double> params, double weight = 1.0) {
  return Signal{kind, std::move(params), weight};
}

FactorKeys keys_of(std::span<const Signal> signals) {
  std::vector<std::string> keys;
  for (const Signal& signal : signals) keys.push_back(signal_key(signal));
  return FactorKeys(std::move(keys));
}

CompiledSpec compiled(const RadarSpec& spec) {
  auto compiled = CompiledSpec::compile(spec);
  EXPECT_TRUE(compiled.has_value());
  return std::move(*compiled);
}

struct SymbolScore {
  double severity = 0;
  std::vector<double> factors;
};

SymbolScore evaluate(const SymbolState& state, std::span<const Signal> signals,
                     const FactorKeys& keys) {
  SymbolScore score;
  score.factors.resize(keys.names().size());
  score.severity = evaluate_into(state, signals, keys, score.factors);
  return score;
}

RadarSpec spec_of(std::vector<Signal> signals, double threshold = 0.0,
                  std::optional<std::uint64_t> limit = std::nullopt) {
  RadarSpec spec;
  spec.signals = std::move(signals);
  spec.threshold = threshold;
  spec.limit = limit;
  return spec;
}

// With funding_flip(1) as the only signal, equal rates r give severity r.
const RadarSpec funding_spec = spec_of({signal(K::FundingFlip, {1})});
EventList rates(double r, std::int64_t ts = 1) {
  return {Derivatives{ts, 1, r, 1}, Derivatives{ts, 1, r, 1}};
}

std::vector<std::string> symbols_of(const ScanResult& result) {
  std::vector<std::string> symbols;
  for (const Alert& alert : result.alerts) symbols.push_back(alert.symbol);
  return symbols;
}

void expect_identical(const ScanResult& a, const ScanResult& b) {
  ASSERT_EQ(a.factor_names, b.factor_names);
  ASSERT_EQ(a.scanned, b.scanned);
  ASSERT_EQ(a.alerts.size(), b.alerts.size());
  for (std::size_t i = 0; i < a.alerts.size(); ++i) {
    const Alert& x = a.alerts[i];
    const Alert& y = b.alerts[i];
    ASSERT_EQ(x.symbol, y.symbol) << i;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(x.severity), std::bit_cast<std::uint64_t>(y.severity));
    ASSERT_EQ(x.ts, y.ts) << x.symbol;
    ASSERT_EQ(x.factors.size(), y.factors.size()) << x.symbol;
    for (std::size_t f = 0; f < x.factors.size(); ++f) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(x.factors[f]),
                std::bit_cast<std::uint64_t>(y.factors[f]))
          << x.symbol << " " << a.factor_names[f];
    }
  }
}

// --- evaluate -------------------------------------------------------------

TEST(Evaluate, WorkedExample) {
  const SymbolState state = SymbolState::from_events(
      4, EventList{Derivatives{1, 100, 0.0004, 50}, Derivatives{2, 105, -0.0003, 52},
                   Orderbook{3, 300, 100, 1, 2}, Liquidation{4, Side::Buy, 100, 1},
                   Liquidation{5, Side::Sell, 200, 1}, Liquidation{6, Side::Buy, 300, 1},
                   Liquidation{7, Side::Sell, 400, 1}});
  const std::vector<Signal> signals = {
      signal(K::OiDelta, {1, 0.1}), signal(K::FundingFlip, {0.001}),
      signal(K::BookImbalance, {0.5}), signal(K::LiqCluster, {3, 1000}),
      signal(K::OiPriceDivergence, {1, 0.1}, 0.0)};
  const FactorKeys keys = keys_of(signals);
  ASSERT_EQ(keys.names(),
            (std::vector<std::string>{"book_imbalance(0.5)", "funding_flip(0.001)",
                                      "liq_cluster(3,1000)", "oi_delta(1,0.1)",
                                      "oi_price_divergence(1,0.1)", "severity"}));
  EXPECT_EQ(keys.slot_of_signal(), (std::vector<std::size_t>{3, 1, 0, 2, 4}));

  const SymbolScore score = evaluate(state, signals, keys);
  EXPECT_EQ(score.severity, quantise(0.75));
  EXPECT_EQ(score.factors, (std::vector<double>{quantise(1), quantise(0.6), quantise(0.9),
                                                quantise(0.5), 0.0, quantise(0.75)}));
}

TEST(Evaluate, FactorNamesSortByteWiseWithSeverityLast) {
  const std::vector<Signal> signals = {signal(K::OiDelta, {3, 0.05}),
                                       signal(K::OiDelta, {12, 0.05}),
                                       signal(K::BookImbalance, {0.2})};
  const FactorKeys keys = keys_of(signals);
  EXPECT_EQ(keys.names(), (std::vector<std::string>{"book_imbalance(0.2)", "oi_delta(12,0.05)",
                                                    "oi_delta(3,0.05)", "severity"}));
  EXPECT_EQ(keys.slot_of_signal(), (std::vector<std::size_t>{2, 1, 0}));
}

TEST(Evaluate, AllZeroWeightsGiveSeverityZeroAndStillReportFactors) {
  const SymbolState state = SymbolState::from_events(
      2, EventList{Orderbook{1, 3, 1, 1, 2}, Liquidation{2, Side::Buy, 5, 1}});
  const std::vector<Signal> signals = {signal(K::BookImbalance, {1}, 0.0),
                                       signal(K::LiqCluster, {1, 10}, 0.0)};
  const SymbolScore score = evaluate(state, signals, keys_of(signals));
  EXPECT_EQ(score.severity, 0.0);
  EXPECT_FALSE(std::signbit(score.severity));
  EXPECT_EQ(score.factors, (std::vector<double>{quantise(0.5), quantise(0.5), 0.0}));
}

TEST(Evaluate, NegativeZeroFactorIsReportedAsNegativeZero) {
  const SymbolState state = SymbolState::from_events(2, EventList{Liquidation{1, Side::Buy, 5, 1}});
  const std::vector<Signal> signals = {signal(K::LiqCluster, {0.5, 1000})};
  const SymbolScore score = evaluate(state, signals, keys_of(signals));
  EXPECT_TRUE(std::signbit(score.factors[0]));
  EXPECT_EQ(score.severity, 0.0);
}

TEST(Evaluate, DuplicateKeyKeepsTheLaterSignalsValue) {
  // Scales 1e-9 and 4e-9 both quantise to 0: one key, two different values.
  const SymbolState state =
      SymbolState::from_events(2, EventList{Orderbook{1, 1, 0.999999998, 1, 2}});
  const std::vector<Signal> signals = {signal(K::BookImbalance, {1e-9}),
                                       signal(K::BookImbalance, {4e-9})};
  const FactorKeys keys = keys_of(signals);
  ASSERT_EQ(keys.names(), (std::vector<std::string>{"book_imbalance(0)", "severity"}));
  const double first = indicator_value(signals[0], state);
  const double second = indicator_value(signals[1], state);
  ASSERT_NE(quantise(first), quantise(second));

  const SymbolScore score = evaluate(state, signals, keys);
  EXPECT_EQ(score.factors[0], quantise(second));
  EXPECT_EQ(score.severity, quantise((first + second) / 2));
}

TEST(Evaluate, MultiplyAndAddAreRoundedSeparately) {
  // weighted = v1 * 1 + v2 * w2: a fused multiply-add of the second term
  // moves the mean across a rounding boundary of the reported severity.
  const double v1 = 0.41000000549999999;
  const double v2 = 0.3;
  const double w2 = 0.1;
  const double total = 1.0 + w2;
  const double separate = quantise((v1 + v2 * w2) / total);
  const double fused = quantise(std::fma(v2, w2, v1) / total);
  ASSERT_NE(separate, fused) << "the constants no longer exercise contraction";

  const SymbolState state = SymbolState::from_events(
      2, EventList{Derivatives{1, 1, v1, 1}, Derivatives{2, 1, v1, 1},
                   Liquidation{3, Side::Buy, v2, 1}});
  const std::vector<Signal> signals = {signal(K::FundingFlip, {1}, 1.0),
                                       signal(K::LiqCluster, {1, 1}, w2)};
  ASSERT_EQ(indicator_value(signals[0], state), v1);
  ASSERT_EQ(indicator_value(signals[1], state), v2);
  EXPECT_EQ(evaluate(state, signals, keys_of(signals)).severity, separate);
}

// --- scan -----------------------------------------------------------------

TEST(Scan, WorkedExampleRanksTiesBySymbolAndLimits) {
  const SymbolEvents events = {{"BTCUSDT", rates(0.7)},
                               {"ETHUSDT", rates(0.7)},
                               {"SOLUSDT", rates(0.5)},
                               {"XRPUSDT", rates(0.49999999)}};
  RadarSpec spec = funding_spec;
  spec.threshold = 0.5;
  spec.limit = 2;
  const ScanResult limited = scan_events(compiled(spec), events);
  EXPECT_EQ(symbols_of(limited), (std::vector<std::string>{"BTCUSDT", "ETHUSDT"}));
  EXPECT_EQ(limited.scanned, 4u);

  spec.limit.reset();
  const ScanResult all = scan_events(compiled(spec), events);
  EXPECT_EQ(symbols_of(all), (std::vector<std::string>{"BTCUSDT", "ETHUSDT", "SOLUSDT"}));
  EXPECT_EQ(all.alerts[2].severity, 0.5);
  EXPECT_EQ(all.factor_names, (std::vector<std::string>{"funding_flip(1)", "severity"}));
  EXPECT_EQ(all.alerts[0].factors, (std::vector<double>{quantise(0.7), quantise(0.7)}));
}

TEST(Scan, RankingIsSeverityDescendingThenSymbolBytes) {
  SymbolEvents events = {{"", rates(0.3)},        {"BTCUSDT", rates(0.3)},
                         {"ETH", rates(0.3)},     {"ETHUSDT", rates(0.3)},
                         {"LOW", rates(0.1)},     {"TOP", rates(0.9)},
                         {"eth", rates(0.3)},     {"\xc3\xa9th", rates(0.3)}};
  const ScanResult result = scan_events(compiled(funding_spec), events);
  EXPECT_EQ(symbols_of(result),
            (std::vector<std::string>{"TOP", "", "BTCUSDT", "ETH", "ETHUSDT", "eth",
                                      "\xc3\xa9th", "LOW"}));

  Dataset dataset;
  for (const auto& [symbol, list] : events) {
    for (const Event& e : list) dataset.feed(symbol, e, state_window(funding_spec.signals));
  }
  expect_identical(scan_dataset(compiled(funding_spec), dataset), result);
}

struct LimitCase {
  std::optional<std::uint64_t> limit;
  std::size_t expected;
};

class ScanLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ScanLimit, CutsTheRankedListButNotTheCount) {
  RadarSpec spec = funding_spec;
  spec.threshold = 0.2;
  spec.limit = GetParam().limit;
  const SymbolEvents events = {{"A", rates(0.1)}, {"B", rates(0.5)}, {"C", rates(0.4)},
                               {"D", rates(0.3)}, {"E", rates(0.2)}};
  const ScanResult result = scan_events(compiled(spec), events);
  const std::vector<std::string> ranked = {"B", "C", "D", "E"};
  EXPECT_EQ(symbols_of(result),
            std::vector<std::string>(ranked.begin(),
                                     ranked.begin() + static_cast<long>(GetParam().expected)));
  EXPECT_EQ(result.scanned, 5u);
}

INSTANTIATE_TEST_SUITE_P(Limits, ScanLimit,
                         ::testing::Values(LimitCase{std::nullopt, 4}, LimitCase{1, 1},
                                           LimitCase{3, 3}, LimitCase{5, 4}),
    [](const auto& test_case) {
      const auto& limit = test_case.param.limit;
      return test::case_name(test_case.index,
                             limit ? test::text_of("limit", *limit) : "no limit");
    });

class ScanThreshold : public ::testing::TestWithParam<double> {};

TEST_P(ScanThreshold, ZeroOrBelowPassesEverySymbolEvenWithoutData) {
  const RadarSpec spec = spec_of({signal(K::BookImbalance, {1})}, GetParam());
  const SymbolEvents events = {{"EMPTY", {}},
                               {"UNREAD", {Liquidation{7, Side::Buy, 1, 1}}},
                               {"BOOK", {Orderbook{3, 1, 1, 1, 2}, Orderbook{9, 2, 1, 1, 2}}}};
  const ScanResult result = scan_events(compiled(spec), events);
  ASSERT_EQ(symbols_of(result), (std::vector<std::string>{"BOOK", "EMPTY", "UNREAD"}));
  EXPECT_EQ(result.alerts[0].ts, 9);
  EXPECT_EQ(result.alerts[1].ts, no_ts);
  EXPECT_EQ(result.alerts[1].severity, 0.0);
  EXPECT_EQ(result.alerts[2].ts, 7);
}

INSTANTIATE_TEST_SUITE_P(AtOrBelowZero, ScanThreshold, ::testing::Values(0.0, -1.0),
    [](const auto& test_case) {
      return test::case_name(test_case.index, test::text_of(test_case.param));
    });

TEST(Scan, NaNSeverityNeverPasses) {
  // Weights that sum to infinity make the mean inf / inf.
  const RadarSpec spec =
      spec_of({signal(K::FundingFlip, {1}, 1e308), signal(K::FundingFlip, {0.5}, 1e308)}, -1.0);
  const ScanResult result = scan_events(compiled(spec), {{"X", rates(1.0)}, {"Y", {}}});
  EXPECT_EQ(symbols_of(result), (std::vector<std::string>{"Y"}));
  EXPECT_EQ(result.scanned, 2u);
}

TEST(Scan, TsIsTheLargestTimestampNotTheLast) {
  const SymbolEvents events = {{"S", {Derivatives{100, 1, 0.1, 1}, Derivatives{50, 1, 0.1, 1},
                                      Orderbook{70, 1, 1, 1, 2}}}};
  EXPECT_EQ(scan_events(compiled(funding_spec), events).alerts.at(0).ts, 100);
}

TEST(Scan, EmptyInputsScanNothing) {
  const ScanResult from_events = scan_events(compiled(funding_spec), {});
  EXPECT_TRUE(from_events.alerts.empty());
  EXPECT_EQ(from_events.scanned, 0u);
  EXPECT_EQ(from_events.factor_names, (std::vector<std::string>{"funding_flip(1)", "severity"}));
  expect_identical(scan_dataset(compiled(funding_spec), Dataset{}), from_events);
}

// Many symbols built on the pool must give exactly what feeding the same
// events one by one gives, whatever the timing.
TEST(Scan, ParallelBuildEqualsSequentialFeeding) {
  const RadarSpec spec =
      spec_of({signal(K::OiDelta, {12, 0.05}), signal(K::FundingFlip, {0.0005}, 2.0),
               signal(K::BookImbalance, {0.4}, 0.5), signal(K::LiqCluster, {5, 1e4}),
               signal(K::OiPriceDivergence, {3, 0.02}, 1.5)});
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  SymbolEvents events;
  for (int s = 0; s < 1500; ++s) {
    EventList list;
    const int count = static_cast<int>(random() % 60);
    for (int e = 0; e < count; ++e) {
      const auto ts = static_cast<std::int64_t>(random() % 10000);
      switch (random() % 3) {
        case 0:
          list.push_back(Derivatives{ts, 1000 + 100 * unit(random), unit(random) * 0.002 - 0.001,
                                     50 + unit(random)});
          break;
        case 1:
          list.push_back(Orderbook{ts, 100 * unit(random), 100 * unit(random), 1, 2});
          break;
        default:
          list.push_back(Liquidation{ts, Side::Buy, 1000 * unit(random), 1});
      }
    }
    events.emplace_back("S" + std::to_string(100000 + s), std::move(list));
  }

  Dataset dataset;
  for (const auto& [symbol, list] : events) {
    for (const Event& e : list) dataset.feed(symbol, e, state_window(spec.signals));
  }
  // Symbols with no events exist in a scan request but never in a dataset.
  SymbolEvents fed_only;
  for (const auto& entry : events) {
    if (!entry.second.empty()) fed_only.push_back(entry);
  }
  const ScanResult sequential = scan_dataset(compiled(spec), dataset);
  ASSERT_GT(sequential.alerts.size(), 100u);
  for (int round = 0; round < 5; ++round) {
    expect_identical(scan_events(compiled(spec), fed_only), sequential);
  }
  EXPECT_EQ(scan_events(compiled(spec), events).scanned, events.size());
}

}  // namespace
}  // namespace fenmor
