#include "crates/radar-core/src/replay/price_tape.hpp"

#include <algorithm>
#include <utility>

namespace fenmor::replay {

namespace {

void add(PricePoints& points, std::int64_t ts, double price) {
  points.ts.push_back(ts);
  points.price.push_back(price);
}

}  // namespace

void PriceTape::record(std::uint32_t symbol, const Event& event) {
  const auto* derivatives = std::get_if<Derivatives>(&event);
  const auto* book = std::get_if<Orderbook>(&event);
  double price = 0;
  if (derivatives != nullptr) {
    price = derivatives->mark_price;
  } else if (book != nullptr) {
    // A one-sided or crossed-at-zero book has no mid worth measuring from.
    if (!(book->best_bid > 0 && book->best_ask > 0)) return;
    price = (book->best_bid + book->best_ask) / 2;
  }
  if (!(price > 0)) return;  // liquidations, and prices that cannot be a return's base
  if (symbol >= pending_.size()) pending_.resize(std::size_t{symbol} + 1);
  SymbolPrices& prices = pending_[symbol];
  if (prices.marks.empty() && prices.mids.empty()) {
    prices.symbol = symbol;
    touched_.push_back(symbol);
  }
  if (derivatives != nullptr) {
    add(prices.marks, derivatives->ts, price);
    prices.marks.open_interest.push_back(derivatives->open_interest);
    prices.marks.funding_rate.push_back(derivatives->funding_rate);
  } else {
    add(prices.mids, book->ts, price);
  }
}

std::vector<SymbolPrices> PriceTape::take() {
  std::sort(touched_.begin(), touched_.end());
  std::vector<SymbolPrices> out;
  out.reserve(touched_.size());
  for (const std::uint32_t symbol : touched_) out.push_back(std::exchange(pending_[symbol], {}));
  touched_.clear();
  return out;
}

}  // namespace fenmor::replay
