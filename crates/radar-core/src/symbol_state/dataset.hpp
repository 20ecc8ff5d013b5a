#pragma once
// The radar's stored states: symbol -> SymbolState, ordered byte-wise.

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/spec.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

namespace fenmor {

class Dataset {
 public:
  // std::less<> lets a known symbol be found from a string_view, without
  // building a std::string; the text is copied only when a state is created.
  using Map = std::map<std::string, SymbolState, std::less<>>;

  // Applies one event to the symbol's state, creating it first (with the
  // window of `signals`) when the symbol is new.
  void feed(std::string_view symbol, const Event& event, std::span<const Signal> signals);
  // feed() of each event in order, with one lookup for the lot. No event, no
  // state: an empty batch leaves the dataset as it was.
  void feed_all(std::string_view symbol, std::span<const Event> events,
                std::span<const Signal> signals);
  void clear() noexcept { states_.clear(); }
  std::size_t len() const noexcept { return states_.size(); }

  Map::const_iterator begin() const noexcept { return states_.begin(); }
  Map::const_iterator end() const noexcept { return states_.end(); }

 private:
  SymbolState& state_of(std::string_view symbol, std::span<const Signal> signals);

  Map states_;
};

}  // namespace fenmor
