// Heap bytes per symbol held by a Dataset, for several windows and fill
// levels. Events of all symbols are fed interleaved, round by round, as a live
// feed would deliver them, so histories grow side by side.
//
//   state_memory [symbols]      (default 100000)
//
// Heap in use is read with mallinfo2() before building the dataset and after,
// so the figures include the map nodes, the symbol texts and malloc's own
// per-chunk overhead.

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "crates/radar-core/src/symbol_state/dataset.hpp"

namespace {

using fenmor::Dataset;
using fenmor::Event;
using fenmor::Signal;

std::size_t heap_in_use() { return mallinfo2().uordblks; }

// A spec whose window is `window`: one oi_delta signal with lookback window - 1.
std::vector<Signal> signals_for(std::uint64_t window) {
  const double lookback = window == std::numeric_limits<std::uint64_t>::max()
                              ? 1e30
                              : static_cast<double>(window - 1);
  return {Signal{fenmor::IndicatorKind::OiDelta, {lookback, 0.05}, 1.0}};
}

struct Fill {
  const char* name;
  std::uint64_t derivatives;   // Derivatives events per symbol
  std::uint64_t liquidations;  // Liquidation events per symbol
  bool book;                   // one Orderbook event per symbol
};

double bytes_per_symbol(const std::vector<std::string>& symbols, std::uint64_t window,
                        const Fill& fill) {
  const std::uint64_t rows = fenmor::state_window(signals_for(window));
  const std::size_t before = heap_in_use();
  Dataset dataset;
  const std::uint64_t rounds = std::max(fill.derivatives, fill.liquidations);
  for (std::uint64_t round = 0; round < rounds; ++round) {
    const auto ts = static_cast<std::int64_t>(round);
    const double value = static_cast<double>(round);
    for (const std::string& symbol : symbols) {
      if (round < fill.derivatives) {
        dataset.feed(symbol, fenmor::Derivatives{ts, value, 0.0001, value}, rows);
      }
      if (round < fill.liquidations) {
        dataset.feed(symbol, fenmor::Liquidation{ts, fenmor::Side::Sell, value, 1.0}, rows);
      }
    }
  }
  if (fill.book) {
    for (const std::string& symbol : symbols) {
      dataset.feed(symbol, fenmor::Orderbook{0, 1.0, 2.0, 3.0, 4.0}, rows);
    }
  }
  const std::size_t after = heap_in_use();
  if (dataset.len() != symbols.size()) std::abort();
  return static_cast<double>(after - before) / static_cast<double>(symbols.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
  std::vector<std::string> symbols;
  symbols.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "SYM%06zu", i);  // 9 bytes: kept inline by std::string
    symbols.emplace_back(text);
  }

  // A red-black tree node is a colour and three links before the key and state.
  std::printf("%zu symbols; sizeof(SymbolState) = %zu, map node = %zu bytes before malloc's\n",
              count, sizeof(fenmor::SymbolState),
              4 * sizeof(void*) + sizeof(Dataset::Map::value_type));
  std::printf("%-8s %-24s %13s %15s %16s\n", "window", "fill", "bytes/symbol",
              "history bytes", "bound 32*(w+1)");

  for (const std::uint64_t window : {std::uint64_t{2}, std::uint64_t{13}, std::uint64_t{101}}) {
    // A state with a book and no history: the map node, key and state alone.
    const Fill fills[] = {
        {"book only (no history)", 0, 0, true},
        {"one event each", 1, 1, true},
        {"full histories", window, window, true},
    };
    double baseline = 0;
    for (const Fill& fill : fills) {
      const double measured = bytes_per_symbol(symbols, window, fill);
      if (fill.derivatives == 0) baseline = measured;
      std::printf("%-8llu %-24s %13.1f %15.1f %16llu\n",
                  static_cast<unsigned long long>(window), fill.name, measured,
                  measured - baseline, static_cast<unsigned long long>(32 * (window + 1)));
    }
  }
  // The largest window: memory follows the events received, not the window.
  const Fill young = {"10 events each", 10, 10, true};
  std::printf("%-8s %-24s %13.1f\n", "2^64-1", young.name,
              bytes_per_symbol(symbols, std::numeric_limits<std::uint64_t>::max(), young));
  return 0;
}
