#include "crates/radar-core/src/replay/symbol_batch.hpp"

namespace fenmor::replay {

std::uint32_t SymbolBatch::number_of(std::string_view symbol) {
  if (const auto found = numbers_.find(symbol); found != numbers_.end()) return found->second;
  const auto number = static_cast<std::uint32_t>(names_.size());
  const auto added = numbers_.emplace(std::string(symbol), number).first;
  names_.push_back(added->first);  // the key of a node never moves
  pending_count_.push_back(0);
  return number;
}

bool SymbolBatch::add(std::string_view symbol, const Event& event) {
  const std::uint32_t number = number_of(symbol);
  if (pending_count_[number]++ == 0) pending_symbols_.push_back(number);
  pending_.push_back(Pending{number, event});
  return pending_.size() >= max_pending;
}

void SymbolBatch::flush(std::span<RadarHandle> radars) {
  if (pending_.empty()) return;
  // Each symbol's events in input order, the symbols one after the other:
  // a counting pass gives each symbol its slice of grouped_.
  std::uint32_t at = 0;
  for (const std::uint32_t symbol : pending_symbols_) {
    const std::uint32_t count = pending_count_[symbol];
    pending_count_[symbol] = at;  // from here on: where its next event goes
    at += count;
  }
  grouped_.resize(pending_.size());
  for (const Pending& pending : pending_) grouped_[pending_count_[pending.symbol]++] = pending.event;
  std::size_t begin = 0;
  for (const std::uint32_t symbol : pending_symbols_) {
    const std::size_t end = pending_count_[symbol];
    const std::span<const Event> events(grouped_.data() + begin, end - begin);
    for (RadarHandle& radar : radars) radar.apply(names_[symbol], events);
    pending_count_[symbol] = 0;
    begin = end;
  }
  pending_.clear();
  pending_symbols_.clear();
}

}  // namespace fenmor::replay
