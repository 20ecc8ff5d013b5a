#pragma once
// The radar's stored states: symbol -> SymbolState, ordered byte-wise.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/spec.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"
#include "json/byte_order.hpp"

namespace fenmor {

class Dataset {
 public:
  // Byte-wise order. Being transparent, it lets a known symbol be found from
  // a string_view without building a std::string; the text is copied only
  // when a state is created.
  struct SymbolOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
      return json::byte_less(a, b);
    }
  };
  using Map = std::map<std::string, SymbolState, SymbolOrder>;

  Dataset() = default;
  // The index points at the tree's nodes: a copy would point at the
  // original's. Moving hands the nodes over whole, so the pointers stay true.
  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;
  Dataset(Dataset&&) noexcept = default;
  Dataset& operator=(Dataset&&) noexcept = default;

  // Applies one event to the symbol's state, creating it first (keeping
  // `window` rows, see state_window) when the symbol is new.
  void feed(std::string_view symbol, const Event& event, std::uint64_t window);
  // feed() of each event in order, with one lookup for the lot. No event, no
  // state: an empty batch leaves the dataset as it was.
  void feed_all(std::string_view symbol, std::span<const Event> events, std::uint64_t window);
  void clear() noexcept {
    states_.clear();
    std::vector<Map::value_type*>().swap(index_);
  }
  std::size_t len() const noexcept { return states_.size(); }

  Map::const_iterator begin() const noexcept { return states_.begin(); }
  Map::const_iterator end() const noexcept { return states_.end(); }

  // The same (symbol, state) pairs in no particular order, as the slots of
  // the lookup index: some slots are empty (null). A scan that does not need
  // byte order walks these instead of the tree: it knows the next states'
  // places in advance and can have them fetched from memory meanwhile.
  std::span<const Map::value_type* const> unordered_slots() const noexcept { return index_; }

  // The symbol's state, created (empty) when the symbol is new. It stays at
  // its address until clear(): a caller that feeds one symbol many times may
  // keep it instead of looking the symbol up again.
  SymbolState& state_of(std::string_view symbol, std::uint64_t window);

 private:
  void index(Map::value_type* entry);

  // The tree keeps the byte order; a hash index beside it finds a known
  // symbol with one or two reads of memory instead of a descent through the
  // tree. Open addressing with linear probing, a power-of-two number of
  // slots, at most half of them used; map nodes never move.
  Map states_;
  std::vector<Map::value_type*> index_;
};

}  // namespace fenmor
