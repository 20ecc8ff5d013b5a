#include "crates/radar-core/src/symbol_state/dataset.hpp"

#include <tuple>
#include <utility>

namespace fenmor {

void Dataset::feed(std::string_view symbol, const Event& event,
                   std::span<const Signal> signals) {
  // One descent finds the symbol or the place to insert it; a known symbol
  // costs no allocation.
  auto it = states_.lower_bound(symbol);
  if (it == states_.end() || it->first != symbol) {
    it = states_.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(symbol),
                              std::forward_as_tuple(state_window(signals)));
  }
  it->second.apply(event);
}

}  // namespace fenmor
