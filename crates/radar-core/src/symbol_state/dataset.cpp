#include "crates/radar-core/src/symbol_state/dataset.hpp"

#include <tuple>
#include <utility>

namespace fenmor {

SymbolState& Dataset::state_of(std::string_view symbol, std::span<const Signal> signals) {
  // One descent finds the symbol or the place to insert it; a known symbol
  // costs no allocation.
  auto it = states_.lower_bound(symbol);
  if (it == states_.end() || it->first != symbol) {
    it = states_.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(symbol),
                              std::forward_as_tuple(state_window(signals)));
    arrival_.push_back(&*it);
  }
  return it->second;
}

void Dataset::feed(std::string_view symbol, const Event& event,
                   std::span<const Signal> signals) {
  state_of(symbol, signals).apply(event);
}

void Dataset::feed_all(std::string_view symbol, std::span<const Event> events,
                       std::span<const Signal> signals) {
  if (events.empty()) return;
  SymbolState& state = state_of(symbol, signals);
  for (const Event& event : events) state.apply(event);
}

}  // namespace fenmor
