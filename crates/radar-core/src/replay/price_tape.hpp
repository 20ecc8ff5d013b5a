#pragma once
// The prices a replay saw, per symbol, gathered while the events are fed so
// that measuring what followed an alert needs no second reading of the
// recording: the mark price of each derivatives event (with its open
// interest and funding rate, which a chart shows beside the price), and the
// order book's mid (best bid and best ask halved) of each orderbook event.
// The two are kept apart; which one a symbol is measured by is the reader's
// choice.
//
// The points are handed out in pieces (take), each symbol's in the order its
// events were fed; a price that is not positive is no price and is skipped.

#include <cstdint>
#include <vector>

#include "crates/radar-core/src/event.hpp"

namespace fenmor::replay {

struct PricePoints {
  std::vector<std::int64_t> ts;
  std::vector<double> price;

  bool empty() const noexcept { return ts.empty(); }
};

struct MarkPoints : PricePoints {
  std::vector<double> open_interest;
  std::vector<double> funding_rate;
};

// The points of one symbol (its number in the feeder's SymbolStates).
struct SymbolPrices {
  std::uint32_t symbol = 0;
  MarkPoints marks;
  PricePoints mids;
};

class PriceTape {
 public:
  void record(std::uint32_t symbol, const Event& event);
  // The points recorded since the last take, by symbol number ascending,
  // only symbols that have some.
  std::vector<SymbolPrices> take();

 private:
  std::vector<SymbolPrices> pending_;  // by symbol number
  std::vector<std::uint32_t> touched_;  // numbers with pending points, unordered
};

}  // namespace fenmor::replay
