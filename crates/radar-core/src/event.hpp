#pragma once
// Market events: one observation of one market at one moment. Plain values;
// lists of them are stored contiguously.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace fenmor {

enum class Side : std::uint8_t { Buy, Sell };

struct Derivatives {
  std::int64_t ts = 0;
  double open_interest = 0;
  double funding_rate = 0;
  double mark_price = 0;

  bool operator==(const Derivatives&) const = default;
};

struct Orderbook {
  std::int64_t ts = 0;
  double bid_volume = 0;
  double ask_volume = 0;
  double best_bid = 0;
  double best_ask = 0;

  bool operator==(const Orderbook&) const = default;
};

struct Liquidation {
  std::int64_t ts = 0;
  Side side = Side::Buy;
  double qty = 0;
  double price = 0;

  bool operator==(const Liquidation&) const = default;
};

using Event = std::variant<Derivatives, Orderbook, Liquidation>;
using EventList = std::vector<Event>;

// Symbol -> events, ascending byte-wise by symbol, each symbol once.
using SymbolEvents = std::vector<std::pair<std::string, EventList>>;

inline std::int64_t event_ts(const Event& event) noexcept {
  return std::visit([](const auto& e) { return e.ts; }, event);
}

}  // namespace fenmor
