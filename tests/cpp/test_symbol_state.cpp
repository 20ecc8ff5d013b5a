// The per-symbol rolling state: window size, histories, book, last_ts, and
// the ordered dataset of states.

#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/symbol_state/dataset.hpp"
#include "crates/radar-core/src/symbol_state/ring_buffer.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

// Every allocation of this test binary is counted, so that a test can assert
// that an operation allocates nothing.
namespace {
std::atomic<std::size_t> allocation_count{0};
}

void* operator new(std::size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  std::abort();
}
// g++ 12 takes free() of what this operator new returned for a mismatch once
// both are inlined; they are a matched pair by construction.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace fenmor {
namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();

std::vector<double> values(HistoryView view) {
  std::vector<double> out;
  for (std::size_t i = 0; i < view.size(); ++i) out.push_back(view[i]);
  return out;
}

Event derivatives(std::int64_t ts, double open_interest, double funding = 0, double mark = 0) {
  return Derivatives{ts, open_interest, funding, mark};
}
Event orderbook(std::int64_t ts, double bid, double ask) { return Orderbook{ts, bid, ask, 1, 2}; }
Event liquidation(std::int64_t ts, Side side, double qty) {
  return Liquidation{ts, side, qty, 100};
}

Signal signal(IndicatorKind kind, std::vector<double> params) { return {kind, params, 1.0}; }

// ------------------------------------------------------------ window sizes

struct LookbackCase {
  double param;
  std::uint64_t count;
};

class LookbackCount : public testing::TestWithParam<LookbackCase> {};

TEST_P(LookbackCount, Converts) {
  EXPECT_EQ(lookback_count(GetParam().param), GetParam().count) << GetParam().param;
}

INSTANTIATE_TEST_SUITE_P(
    Values, LookbackCount,
    testing::Values(LookbackCase{0.0, 0}, LookbackCase{-0.0, 0}, LookbackCase{-3, 0},
                    LookbackCase{0.5, 0}, LookbackCase{5e-324, 0},
                    LookbackCase{1, 1}, LookbackCase{12.9, 12},
                    LookbackCase{std::nan(""), 0},
                    LookbackCase{std::numeric_limits<double>::infinity(), 0},
                    LookbackCase{-std::numeric_limits<double>::infinity(), 0},
                    // The largest double below 2^64 still converts exactly.
                    LookbackCase{18446744073709549568.0, 18446744073709549568u},
                    LookbackCase{18446744073709551616.0, u64_max},
                    LookbackCase{1e30, u64_max}),
    [](const auto& test_case) {
      return test::case_name(test_case.index, test::text_of(test_case.param.param));
    });

struct WindowCase {
  std::string_view name;
  std::vector<Signal> signals;
  std::uint64_t window;
};

void PrintTo(const WindowCase& c, std::ostream* out) { *out << c.name; }

class StateWindow : public testing::TestWithParam<WindowCase> {};

TEST_P(StateWindow, IsLongestLookbackPlusOneAtLeastTwo) {
  EXPECT_EQ(state_window(GetParam().signals), GetParam().window);
}

using K = IndicatorKind;

INSTANTIATE_TEST_SUITE_P(
    Specs, StateWindow,
    testing::Values(
        WindowCase{"no signals", {}, 2},
        WindowCase{"funding and book only",
                   {signal(K::FundingFlip, {100}), signal(K::BookImbalance, {50})},
                   2},
        WindowCase{"oi 12 and liq 5",
                   {signal(K::OiDelta, {12, 0.05}), signal(K::LiqCluster, {5, 1e6})},
                   13},
        WindowCase{"lookback 1", {signal(K::OiDelta, {1, 1})}, 2},
        WindowCase{"lookback 2", {signal(K::LiqCluster, {2, 1})}, 3},
        WindowCase{"divergence 7 beside funding 100",
                   {signal(K::FundingFlip, {100}), signal(K::OiPriceDivergence, {7, 1})},
                   8},
        WindowCase{"zero, negative, fractional",
                   {signal(K::OiDelta, {0, 1}), signal(K::LiqCluster, {-3, 1}),
                    signal(K::OiPriceDivergence, {0.5, 1})},
                   2},
        WindowCase{"12.9 truncates", {signal(K::OiDelta, {12.9, 1})}, 13},
        WindowCase{"no params", {signal(K::OiDelta, {})}, 2},
        WindowCase{"1e30 saturates", {signal(K::LiqCluster, {1e30, 1})}, u64_max},
        WindowCase{"2^64 - 2048 plus one",
                   {signal(K::LiqCluster, {18446744073709549568.0, 1})},
                   18446744073709549569u}),
    test::NamedBy<&WindowCase::name>{});

TEST(SignalLookback, OnlyLookbackKindsHaveOne) {
  EXPECT_EQ(signal_lookback(signal(K::OiDelta, {12.9, 1})), 12u);
  EXPECT_EQ(signal_lookback(signal(K::LiqCluster, {3, 1})), 3u);
  EXPECT_EQ(signal_lookback(signal(K::OiPriceDivergence, {4, 1})), 4u);
  EXPECT_EQ(signal_lookback(signal(K::FundingFlip, {5})), 0u);
  EXPECT_EQ(signal_lookback(signal(K::BookImbalance, {5})), 0u);
  EXPECT_EQ(signal_lookback(signal(K::OiDelta, {})), 0u);
}

// ----------------------------------------------------------------- a state

TEST(SymbolState, StartsEmpty) {
  const SymbolState state(13);
  EXPECT_EQ(state.window(), 13u);
  EXPECT_EQ(state.last_ts(), i64_min);
  EXPECT_FALSE(state.book().has_value());
  EXPECT_TRUE(state.open_interests().empty());
  EXPECT_TRUE(state.funding_rates().empty());
  EXPECT_TRUE(state.mark_prices().empty());
  EXPECT_TRUE(state.liquidation_qtys().empty());
}

TEST(SymbolState, WindowThreeKeepsTheNewestThree) {
  SymbolState state(3);
  for (int i = 1; i <= 4; ++i) state.apply(derivatives(i, i, 10 + i, 100 + i));
  EXPECT_EQ(values(state.open_interests()), (std::vector<double>{2, 3, 4}));
  // The three derivative histories stay aligned position by position.
  EXPECT_EQ(values(state.funding_rates()), (std::vector<double>{12, 13, 14}));
  EXPECT_EQ(values(state.mark_prices()), (std::vector<double>{102, 103, 104}));
  EXPECT_EQ(state.open_interests().newest(), 4);
  EXPECT_TRUE(state.liquidation_qtys().empty());
}

// After every append, each history holds the newest min(appends, window)
// values oldest first, across growth of the buffer and many wrap-arounds.
class HistoryWindow : public testing::TestWithParam<std::uint64_t> {};

TEST_P(HistoryWindow, KeepsNewestValuesInArrivalOrder) {
  const std::uint64_t window = GetParam();
  SymbolState state(window);
  const int appends = static_cast<int>(3 * window + 7);
  for (int k = 1; k <= appends; ++k) {
    state.apply(derivatives(k, k, -k, 2 * k));
    state.apply(liquidation(k, k % 2 == 0 ? Side::Buy : Side::Sell, 0.5 * k));
    const int kept = std::min(k, static_cast<int>(window));
    std::vector<double> oi, fr, mp, liq;
    for (int v = k - kept + 1; v <= k; ++v) {
      oi.push_back(v);
      fr.push_back(-v);
      mp.push_back(2 * v);
      liq.push_back(0.5 * v);
    }
    ASSERT_EQ(values(state.open_interests()), oi) << "after " << k;
    ASSERT_EQ(values(state.funding_rates()), fr) << "after " << k;
    ASSERT_EQ(values(state.mark_prices()), mp) << "after " << k;
    ASSERT_EQ(values(state.liquidation_qtys()), liq) << "after " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, HistoryWindow, testing::Values(1, 2, 3, 4, 5, 13, 64, 101),
    [](const auto& test_case) {
      return test::case_name(test_case.index, test::text_of("window", test_case.param));
    });

TEST(SymbolState, WindowZeroKeepsNoHistoryButStillTracksTheRest) {
  SymbolState state(0);
  state.apply(derivatives(5, 1));
  state.apply(liquidation(6, Side::Buy, 1));
  state.apply(orderbook(4, 1, 2));
  EXPECT_TRUE(state.open_interests().empty());
  EXPECT_TRUE(state.liquidation_qtys().empty());
  EXPECT_TRUE(state.book().has_value());
  EXPECT_EQ(state.last_ts(), 6);
}

TEST(SymbolState, OnlyTheLatestBookRemains) {
  SymbolState state(2);
  state.apply(orderbook(1, 10, 20));
  state.apply(orderbook(2, 30, 40));
  ASSERT_TRUE(state.book().has_value());
  EXPECT_EQ(state.book()->bid_volume, 30);
  EXPECT_EQ(state.book()->ask_volume, 40);
  EXPECT_TRUE(state.open_interests().empty());
  EXPECT_TRUE(state.liquidation_qtys().empty());
}

TEST(SymbolState, BothSidesShareOneLiquidationHistory) {
  SymbolState state(5);
  state.apply(liquidation(1, Side::Buy, 1.5));
  state.apply(liquidation(2, Side::Sell, 2.5));
  state.apply(liquidation(3, Side::Buy, -1));
  EXPECT_EQ(values(state.liquidation_qtys()), (std::vector<double>{1.5, 2.5, -1}));
  EXPECT_TRUE(state.open_interests().empty());
}

TEST(SymbolState, LastTsIsTheLargestWhileValuesKeepArrivalOrder) {
  SymbolState state(5);
  state.apply(derivatives(100, 1));
  state.apply(derivatives(50, 2));
  state.apply(liquidation(70, Side::Sell, 3));
  state.apply(orderbook(-9, 1, 1));
  EXPECT_EQ(state.last_ts(), 100);
  EXPECT_EQ(values(state.open_interests()), (std::vector<double>{1, 2}));
  EXPECT_EQ(values(state.liquidation_qtys()), (std::vector<double>{3}));

  SymbolState smallest(2);
  smallest.apply(derivatives(i64_min, 1));
  EXPECT_EQ(smallest.last_ts(), i64_min);
}

TEST(SymbolState, FromEventsEqualsApplyingInOrder) {
  const std::vector<Event> lists[] = {
      {},
      {orderbook(3, 1, 2)},
      {derivatives(1, 1), liquidation(2, Side::Buy, 5), derivatives(0, 2), orderbook(9, 3, 4),
       derivatives(3, 3), derivatives(4, 4), liquidation(5, Side::Sell, 6), derivatives(5, 5)},
  };
  for (const std::uint64_t window : {2u, 3u, 100u}) {
    for (const auto& events : lists) {
      SymbolState one_by_one(window);
      for (const Event& e : events) one_by_one.apply(e);
      const SymbolState built = SymbolState::from_events(window, events);
      EXPECT_EQ(built.window(), window);
      EXPECT_EQ(built.last_ts(), one_by_one.last_ts());
      EXPECT_EQ(built.book().has_value(), one_by_one.book().has_value());
      EXPECT_EQ(values(built.open_interests()), values(one_by_one.open_interests()));
      EXPECT_EQ(values(built.mark_prices()), values(one_by_one.mark_prices()));
      EXPECT_EQ(values(built.liquidation_qtys()), values(one_by_one.liquidation_qtys()));
    }
  }
  EXPECT_EQ(SymbolState::from_events(2, {}).last_ts(), i64_min);
}

TEST(SymbolState, CopiesAreIndependentAndMovesLeaveAnEmptyState) {
  SymbolState original(3);
  for (int i = 1; i <= 5; ++i) original.apply(derivatives(i, i));  // wrapped
  SymbolState copy = original;
  copy.apply(derivatives(6, 6));
  EXPECT_EQ(values(original.open_interests()), (std::vector<double>{3, 4, 5}));
  EXPECT_EQ(values(copy.open_interests()), (std::vector<double>{4, 5, 6}));

  SymbolState moved = std::move(copy);
  EXPECT_EQ(values(moved.open_interests()), (std::vector<double>{4, 5, 6}));
  copy = original;  // a moved-from state can be assigned and used again
  copy.apply(derivatives(7, 7));
  EXPECT_EQ(values(copy.open_interests()), (std::vector<double>{4, 5, 7}));
}

// ---------------------------------------------------- growth and allocation

TEST(RingBuffer, GrowsWithTheDataAndNeverBeyondTheWindow) {
  for (const std::uint64_t window : {2u, 3u, 13u, 101u, 1000u}) {
    RingBuffer<3> ring;
    for (std::size_t n = 1; n <= 3 * window; ++n) {
      ring.push({1, 2, 3}, window);
      EXPECT_LE(ring.capacity(), window);
      EXPECT_LE(ring.capacity(), std::max<std::size_t>(2, 2 * ring.size()));
      EXPECT_GE(ring.capacity(), ring.size());
    }
    EXPECT_EQ(ring.capacity(), window);
    EXPECT_EQ(ring.size(), window);
  }
}

TEST(RingBuffer, AHugeWindowFollowsTheEventsReceived) {
  // A lookback of 1e30 gives the largest window; memory must follow the data.
  SymbolState state(state_window(std::vector{signal(K::OiDelta, {1e30, 1})}));
  ASSERT_EQ(state.window(), u64_max);
  const int count = 200'000;
  for (int i = 0; i < count; ++i) {
    state.apply(derivatives(i, i, i + 1, i + 2));
    if (i % 3 == 0) state.apply(liquidation(i, Side::Buy, i));
  }
  const HistoryView oi = state.open_interests();
  ASSERT_EQ(oi.size(), static_cast<std::size_t>(count));
  for (int i = 0; i < count; i += 997) ASSERT_EQ(oi[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(state.mark_prices().newest(), count + 1);
  EXPECT_EQ(state.liquidation_qtys().size(), static_cast<std::size_t>((count + 2) / 3));

  RingBuffer<1> ring;
  for (int i = 0; i < 1000; ++i) ring.push({1}, u64_max);
  EXPECT_LE(ring.capacity(), 2000u);
}

TEST(SymbolState, AFullStateAppliesEventsWithoutAllocating) {
  SymbolState state(13);
  for (int i = 0; i < 13; ++i) {
    state.apply(derivatives(i, i));
    state.apply(liquidation(i, Side::Sell, i));
  }
  const std::size_t before = allocation_count.load();
  for (int i = 0; i < 1000; ++i) {
    state.apply(derivatives(i, i));
    state.apply(liquidation(i, Side::Buy, i));
    state.apply(orderbook(i, i, i));
  }
  EXPECT_EQ(allocation_count.load(), before);
  EXPECT_EQ(state.open_interests().newest(), 999);
}

TEST(Dataset, FeedingAKnownSymbolDoesNotAllocate) {
  const std::vector signals{signal(K::LiqCluster, {3, 1})};
  Dataset dataset;
  // A symbol too long for the small-string buffer: building a std::string
  // from it would allocate.
  const std::string symbol(64, 'S');
  for (int i = 0; i < 10; ++i) {
    dataset.feed(symbol, derivatives(i, i), state_window(signals));
    dataset.feed(symbol, liquidation(i, Side::Buy, i), state_window(signals));
  }
  const std::size_t before = allocation_count.load();
  for (int i = 0; i < 100; ++i) {
    dataset.feed(std::string_view(symbol), derivatives(i, i), state_window(signals));
    dataset.feed(std::string_view(symbol), liquidation(i, Side::Sell, i), state_window(signals));
  }
  EXPECT_EQ(allocation_count.load(), before);
}

// ------------------------------------------------------------------ dataset

std::vector<std::string> symbols_of(const Dataset& dataset) {
  std::vector<std::string> out;
  for (const auto& [symbol, state] : dataset) out.push_back(symbol);
  return out;
}

TEST(Dataset, IteratesSymbolsInByteOrder) {
  Dataset dataset;
  const std::vector<Signal> signals;
  // Bytes, not characters: uppercase before lowercase, a prefix first, and
  // UTF-8 lead bytes (0xC3, 0xE2) after every ASCII byte, DEL included.
  for (const std::string_view symbol : {"b", "\xE2\x82\xAC", "BTCUSDT", "btcusdt", "a", "ab",
                                        "", "\xC3\xA9", "~", "\x7F", "B", "a"}) {
    dataset.feed(symbol, orderbook(1, 1, 1), state_window(signals));
  }
  EXPECT_EQ(symbols_of(dataset),
            (std::vector<std::string>{"", "B", "BTCUSDT", "a", "ab", "b", "btcusdt", "~", "\x7F",
                                      "\xC3\xA9", "\xE2\x82\xAC"}));
  EXPECT_EQ(dataset.len(), 11u);
}

TEST(Dataset, FirstEventOfAnyKindCreatesTheStateWithTheSpecWindow) {
  const std::vector signals{signal(K::OiDelta, {12, 0.05}), signal(K::LiqCluster, {5, 1})};
  Dataset dataset;
  dataset.feed("BTCUSDT", orderbook(7, 3, 4), state_window(signals));
  ASSERT_EQ(dataset.len(), 1u);
  const SymbolState& state = dataset.begin()->second;
  EXPECT_EQ(state.window(), 13u);
  ASSERT_TRUE(state.book().has_value());
  EXPECT_EQ(state.book()->bid_volume, 3);
  EXPECT_TRUE(state.open_interests().empty());
  EXPECT_TRUE(state.liquidation_qtys().empty());
  EXPECT_EQ(state.last_ts(), 7);
}

TEST(Dataset, AStateKeepsTheWindowItWasCreatedWith) {
  Dataset dataset;
  dataset.feed("X", derivatives(1, 1), state_window(std::vector{signal(K::OiDelta, {1, 1})}));
  for (int i = 2; i <= 5; ++i) {
    dataset.feed("X", derivatives(i, i), state_window(std::vector{signal(K::OiDelta, {9, 1})}));
  }
  const SymbolState& state = dataset.begin()->second;
  EXPECT_EQ(state.window(), 2u);
  EXPECT_EQ(values(state.open_interests()), (std::vector<double>{4, 5}));
}

TEST(Dataset, ClearRemovesEveryStateAndTheNextFeedStartsFresh) {
  const std::vector signals{signal(K::OiDelta, {4, 1})};
  Dataset dataset;
  for (int i = 0; i < 6; ++i) {
    dataset.feed("ETH", derivatives(100 + i, i), state_window(signals));
    dataset.feed("BTC", orderbook(200, 1, 1), state_window(signals));
  }
  EXPECT_EQ(dataset.len(), 2u);
  dataset.clear();
  EXPECT_EQ(dataset.len(), 0u);
  EXPECT_EQ(dataset.begin(), dataset.end());

  dataset.feed("ETH", liquidation(5, Side::Buy, 2), state_window(signals));
  ASSERT_EQ(dataset.len(), 1u);
  const SymbolState& state = dataset.begin()->second;
  EXPECT_EQ(state.last_ts(), 5);
  EXPECT_TRUE(state.open_interests().empty());
  EXPECT_FALSE(state.book().has_value());
  EXPECT_EQ(values(state.liquidation_qtys()), (std::vector<double>{2}));
}

}  // namespace
}  // namespace fenmor
