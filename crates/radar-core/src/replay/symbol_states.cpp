#include "crates/radar-core/src/replay/symbol_states.hpp"

#include <limits>

namespace fenmor::replay {

void SymbolStates::place(std::uint64_t hash, std::uint32_t number) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = hash & mask;
  while (slots_[at].number != empty) at = (at + 1) & mask;
  slots_[at] = Slot{hash, number};
}

std::uint32_t SymbolStates::find(std::string_view symbol, std::uint64_t hash) const noexcept {
  if (slots_.empty()) return unknown;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask; slots_[at].number != empty; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.hash == hash && names_[slot.number] == symbol) return slot.number;
  }
  return unknown;
}

std::uint32_t SymbolStates::number_of(std::span<RadarHandle> radars, std::string_view symbol,
                                      std::uint64_t hash) {
  if (const std::uint32_t known = find(symbol, hash); known != unknown) return known;
  const auto number = static_cast<std::uint32_t>(names_.size());
  names_.emplace_back(symbol);
  latest_.push_back(std::numeric_limits<std::int64_t>::min());
  for (RadarHandle& radar : radars) states_.push_back(&radar.state_of(symbol));
  if (watched_) watches_.resize(states_.size());
  if (2 * names_.size() > slots_.size()) {
    std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size());
    slots_.swap(old);
    for (const Slot& slot : old) {
      if (slot.number != empty) place(slot.hash, slot.number);
    }
  }
  place(hash, number);
  return number;
}

std::uint32_t SymbolStates::apply(std::span<RadarHandle> radars, std::string_view symbol,
                                  std::uint64_t hash, std::uint32_t number, const Event& event) {
  number = enter(radars, symbol, hash, number);
  count_ts(number, event_ts(event));
  apply_states(number, radars.size(), event);
  return number;
}

std::uint32_t SymbolStates::enter(std::span<RadarHandle> radars, std::string_view symbol,
                                  std::uint64_t hash, std::uint32_t number) {
  return number == unknown ? number_of(radars, symbol, hash) : number;
}

void SymbolStates::count_ts(std::uint32_t number, std::int64_t ts) noexcept {
  if (ts < latest_[number]) {
    ++backwards_;
  } else {
    latest_[number] = ts;
  }
}

void SymbolStates::apply_states(std::uint32_t number, std::size_t radars, const Event& event) const noexcept {
  const std::size_t first = std::size_t{number} * radars;
  for (std::size_t r = 0; r < radars; ++r) states_[first + r]->apply(event);
}

void SymbolStates::prefetch_states(std::uint32_t number, std::size_t radars) const noexcept {
  const std::size_t first = std::size_t{number} * radars;
  for (std::size_t r = 0; r < radars; ++r) __builtin_prefetch(states_[first + r]);
  if (!watched_) return;
  for (std::size_t r = 0; r < radars; ++r) __builtin_prefetch(&watches_[first + r]);
}

void SymbolStates::prefetch_histories(std::uint32_t number, std::size_t radars) const noexcept {
  const std::size_t first = std::size_t{number} * radars;
  for (std::size_t r = 0; r < radars; ++r) states_[first + r]->prefetch();
  if (!watched_) return;
  for (std::size_t r = 0; r < radars; ++r) __builtin_prefetch(watches_[first + r].values.data());
}

}  // namespace fenmor::replay
