#include "crates/radar-core/src/symbol_state/dataset.hpp"

#include <bit>
#include <cstdint>
#include <tuple>
#include <utility>

namespace fenmor {

namespace {

// FNV-1a, spread over the high bits by a multiplication: the slot is taken
// from the top bits, which every byte of the symbol reaches.
std::size_t slot_hash(std::string_view symbol) noexcept {
  std::uint64_t hash = 0xcbf29ce484222325;
  for (const char c : symbol) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3;
  }
  return static_cast<std::size_t>(hash * 0x9E3779B97F4A7C15);
}

std::size_t first_slot(std::size_t hash, std::size_t slots) noexcept {
  return hash >> (64 - std::countr_zero(slots));
}

}  // namespace

SymbolState& Dataset::state_of(std::string_view symbol, std::uint64_t window) {
  const std::size_t hash = slot_hash(symbol);
  if (!index_.empty()) {
    const std::size_t mask = index_.size() - 1;
    for (std::size_t slot = first_slot(hash, index_.size()); index_[slot] != nullptr;
         slot = (slot + 1) & mask) {
      if (index_[slot]->first == symbol) return index_[slot]->second;
    }
  }
  // A new symbol: a node in the tree at its place in byte order, then a slot.
  auto [it, inserted] = states_.emplace(std::piecewise_construct, std::forward_as_tuple(symbol),
                                        std::forward_as_tuple(window));
  index(&*it);
  return it->second;
}

void Dataset::index(Map::value_type* entry) {
  if (2 * states_.size() > index_.size()) {
    // Twice the slots, every entry placed again.
    std::vector<Map::value_type*> grown(index_.empty() ? 16 : 2 * index_.size(), nullptr);
    index_.swap(grown);
    for (Map::value_type* old : grown) {
      if (old != nullptr && old != entry) index(old);
    }
  }
  const std::size_t mask = index_.size() - 1;
  std::size_t slot = first_slot(slot_hash(entry->first), index_.size());
  while (index_[slot] != nullptr) slot = (slot + 1) & mask;
  index_[slot] = entry;
}

void Dataset::feed(std::string_view symbol, const Event& event, std::uint64_t window) {
  state_of(symbol, window).apply(event);
}

void Dataset::feed_all(std::string_view symbol, std::span<const Event> events,
                       std::uint64_t window) {
  if (events.empty()) return;
  SymbolState& state = state_of(symbol, window);
  for (const Event& event : events) state.apply(event);
}

}  // namespace fenmor
