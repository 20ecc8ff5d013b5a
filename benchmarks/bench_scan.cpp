// Where the time of a large "scan" goes, and what the worker pool buys.
//
//   bench_scan [symbols=1000] [events=1000] [repeats=7]
//
// Times (median of the repeats) for: building every symbol's state on one
// thread and on pools of 2..P workers; evaluating the built states; the
// whole scan_dataset over the same states (evaluation + selection + ranking);
// and the whole scan_events on the shared pool, whose size comes from
// FENMOR_RADAR_WORKERS (default: the processors available), e.g.
//   FENMOR_RADAR_WORKERS=1 bench_scan   vs   FENMOR_RADAR_WORKERS=2 bench_scan

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/scan.hpp"
#include "crates/radar-core/src/symbol_state/dataset.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace {

using namespace fenmor;
using Clock = std::chrono::steady_clock;

// A small deterministic generator: the same data on every run.
struct Lcg {
  std::uint64_t s = 0x9E3779B97F4A7C15ull;
  std::uint64_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return s >> 11;
  }
  double unit() { return static_cast<double>(next()) / 9007199254740992.0; }
};

SymbolEvents make_events(std::size_t symbols, std::size_t per_symbol) {
  Lcg random;
  SymbolEvents events;
  events.reserve(symbols);
  for (std::size_t s = 0; s < symbols; ++s) {
    EventList list;
    list.reserve(per_symbol);
    double oi = 1e6 * (1 + random.unit());
    double px = 100 * (1 + random.unit());
    for (std::size_t e = 0; e < per_symbol; ++e) {
      const auto ts = static_cast<std::int64_t>(1'700'000'000'000 + e * 250);
      const std::uint64_t roll = random.next() % 4;
      if (roll < 2) {
        oi *= 1 + (random.unit() - 0.5) * 0.01;
        px *= 1 + (random.unit() - 0.5) * 0.01;
        list.push_back(Derivatives{ts, oi, (random.unit() - 0.5) * 0.002, px});
      } else if (roll == 2) {
        list.push_back(Orderbook{ts, 1000 * random.unit(), 1000 * random.unit(), px, px * 1.0001});
      } else {
        list.push_back(Liquidation{ts, random.next() % 2 ? Side::Buy : Side::Sell,
                                   500 * random.unit(), px});
      }
    }
    char name[32];
    std::snprintf(name, sizeof name, "SYM%05zuUSDT", s);
    events.emplace_back(name, std::move(list));
  }
  return events;
}

template <class F>
double median_ms(int repeats, F&& f) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    f();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::vector<SymbolState> build_states(WorkerPool& pool, std::uint64_t window,
                                      const SymbolEvents& events) {
  std::vector<SymbolState> states;
  states.reserve(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) states.emplace_back(window);
  pool.for_each_index(events.size(), [&](std::size_t i) {
    states[i] = SymbolState::from_events(window, events[i].second);
  });
  return states;
}

std::size_t arg(int argc, char** argv, int i, std::size_t fallback) {
  return argc > i ? static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t symbols = arg(argc, argv, 1, 1000);
  const std::size_t per_symbol = arg(argc, argv, 2, 1000);
  const int repeats = static_cast<int>(arg(argc, argv, 3, 7));

  RadarSpec spec;
  spec.signals = {Signal{IndicatorKind::OiDelta, {12, 0.05}, 1},
                  Signal{IndicatorKind::FundingFlip, {0.0005}, 1},
                  Signal{IndicatorKind::BookImbalance, {0.4}, 1},
                  Signal{IndicatorKind::LiqCluster, {20, 1e4}, 1},
                  Signal{IndicatorKind::OiPriceDivergence, {6, 0.02}, 1}};
  spec.threshold = 0.0;  // every symbol passes: the ranking's worst case
  const CompiledSpec compiled = *CompiledSpec::compile(spec);

  const SymbolEvents events = make_events(symbols, per_symbol);
  const std::uint64_t window = state_window(spec.signals);
  std::printf("%zu symbols x %zu events, window %llu, %zu processors available, median of %d\n",
              symbols, per_symbol, static_cast<unsigned long long>(window),
              available_processors(), repeats);

  WorkerPool inline_pool(1);
  const double build_1 = median_ms(repeats, [&] { build_states(inline_pool, window, events); });
  std::printf("  build states, 1 thread       %9.2f ms\n", build_1);
  const std::size_t most = std::max<std::size_t>(2, available_processors());
  for (std::size_t workers = 2; workers <= most; workers *= 2) {
    WorkerPool pool(workers);
    const double t = median_ms(repeats, [&] { build_states(pool, window, events); });
    std::printf("  build states, %zu workers      %9.2f ms  (speed-up %.2fx)\n", workers, t,
                build_1 / t);
  }

  const std::vector<SymbolState> states = build_states(inline_pool, window, events);
  const FactorKeys& keys = compiled.keys();
  std::vector<double> factors(keys.names().size());
  double sink = 0;
  const double evaluation = median_ms(repeats, [&] {
    for (const SymbolState& state : states) {
      sink += evaluate_into(state, spec.signals, keys, factors);
    }
  });
  std::printf("  evaluate all states          %9.2f ms\n", evaluation);

  Dataset dataset;
  for (const auto& [symbol, list] : events) {
    for (const Event& e : list) dataset.feed(symbol, e, window);
  }
  std::size_t alerts = 0;
  const double dataset_scan = median_ms(repeats, [&] {
    alerts = scan_dataset(compiled, dataset).alerts.size();
  });
  std::printf("  scan_dataset (evaluate+rank) %9.2f ms  (%zu alerts; select+rank ~%.2f ms)\n",
              dataset_scan, alerts, dataset_scan - evaluation);

  const std::size_t pool_size = shared_worker_pool().parallelism();
  const double full = median_ms(repeats, [&] { alerts = scan_events(compiled, events).alerts.size(); });
  std::printf("  scan_events, shared pool of %zu %9.2f ms\n", pool_size, full);
  return sink == 42.0 ? 1 : 0;  // keeps the evaluation loop from being optimised away
}
