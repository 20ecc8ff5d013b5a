#include "crates/radar-core/src/replay/shard_reader.hpp"

#include <span>
#include <utility>
#include <variant>

#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/replay/checkpoint_clock.hpp"
#include "crates/radar-core/src/replay/event_packet.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/replay/read_line.hpp"
#include "crates/radar-core/src/replay/recording_line.hpp"
#include "crates/radar-core/src/replay/row_reader.hpp"
#include "crates/radar-core/src/replay/symbol_route.hpp"

namespace fenmor::replay {

ShardReader::ShardReader(std::vector<RadarHandle> radars, std::uint64_t shard, std::uint64_t shards,
                         std::optional<std::uint64_t> every_ts, std::uint64_t unit_lines)
    : radars_(std::move(radars)),
      shard_(shard),
      shards_(shards),
      every_ts_(every_ts),
      unit_lines_(unit_lines) {
  for (const RadarHandle& radar : radars_) factors_.emplace_back(radar.compiled().keys().names().size());
}

void ShardReader::start_part(bool starts_file) { splitter_ = LineSplitter(starts_file); }

bool ShardReader::read(std::string_view block) {
  if (unit_full()) return true;
  splitter_.split(block, [&](std::uint64_t, std::string_view text) { return take_line(text); });
  return unit_full();
}

bool ShardReader::end_part(bool complete) {
  if (unit_full() && splitter_.pending()) return true;
  splitter_.finish(complete, [&](std::uint64_t, std::string_view text) { return take_line(text); });
  return splitter_.pending();
}

std::size_t ShardReader::read_rows(const EventColumns& columns, std::size_t first) {
  const RowReader rows(columns);
  WorkingBuffers& buffers = thread_working_buffers();
  std::size_t row = first;
  while (row < rows.rows() && !unit_full()) take_row(rows, row++, buffers);
  return row;
}

void ShardReader::take_row(const RowReader& rows, std::size_t row, WorkingBuffers& buffers) {
  const std::uint64_t line = ++report_.lines;
  if (const std::optional<Event> event = rows.event(row)) {
    const std::uint64_t hash = rows.hash(row);
    if (mine(hash)) keep(line, rows.symbol(row), hash, *event);
    return;
  }
  // Rare: the row is read as its line, to be refused with that line's message.
  ReadLine reading;
  rows.read(row, line, buffers, reading);
  if (auto* fault = std::get_if<LineFault>(&reading.reading)) {
    if (shard_ == 0) report_.bad.push_back(UnitBadLine{line, std::move(fault->message), std::move(fault->field)});
  } else if (const auto* feed = std::get_if<FeedCommand>(&reading.reading); feed && mine(reading.hash)) {
    keep(line, feed->symbol, reading.hash, feed->event);
  }
}

ShardReader::KeptUnit ShardReader::fresh_unit() {
  KeptUnit next;
  if (!spare_.empty()) {
    next = std::move(spare_.back());
    spare_.pop_back();
  }
  ready_packets(next);
  return next;
}

void ShardReader::ready_packets(KeptUnit& unit) const {
  unit.packets.resize(pack_shards_);
  if (pack_shards_ == 0) return;
  // A shard's share of a full unit, and a quarter more for symbols that
  // weigh unevenly; a packet that outgrows it grows by doubling.
  const std::uint64_t share = unit_lines_ / pack_shards_;
  for (PacketWriter& packet : unit.packets) packet.reserve(share + share / 4 + 64);
}

void ShardReader::recycle(KeptUnit unit) {
  unit.events.clear();
  unit.symbols.clear();
  unit.applied = 0;
  for (PacketWriter& packet : unit.packets) packet.clear();
  if (spare_.size() < 2) spare_.push_back(std::move(unit));
}

UnitReport ShardReader::take_unit() {
  kept_.push_back(std::exchange(reading_, fresh_unit()));
  return std::exchange(report_, UnitReport{});
}

void ShardReader::pack_units(std::uint64_t shards) {
  pack_shards_ = shards;
  ready_packets(reading_);
}

std::span<const PacketWriter> ShardReader::take_unit_events() {
  if (taken_) recycle(*std::exchange(taken_, std::nullopt));
  if (kept_.empty()) {
    taken_ = fresh_unit();
  } else {
    taken_ = std::move(kept_.front());
    kept_.pop_front();
    ++first_kept_;
  }
  return taken_->packets;
}

bool ShardReader::add_unit_events(std::string_view packet) {
  PacketReader reader(packet);
  if (!reader.read_symbols(packet_symbols_)) return false;
  KeptUnit unit = fresh_unit();
  // Each symbol's bytes once, hashed once, for all its events.
  kept_symbols_.clear();
  for (const std::string_view symbol : packet_symbols_) {
    kept_symbols_.push_back(KeptSymbol{symbol_hash(symbol), static_cast<std::uint32_t>(unit.symbols.size())});
    unit.symbols.append(symbol);
  }
  PackedEvent packed{0, 0, Derivatives{}};
  for (;;) {
    const PacketReader::Next next = reader.next(packed);
    if (next == PacketReader::Next::end) break;
    if (next == PacketReader::Next::fault) {
      recycle(std::move(unit));
      return false;
    }
    const KeptSymbol& symbol = kept_symbols_[packed.symbol];
    unit.events.push_back(KeptEvent{packed.line, symbol.hash, symbol.at,
                                    static_cast<std::uint32_t>(packet_symbols_[packed.symbol].size()),
                                    packed.event});
  }
  kept_.push_back(std::move(unit));
  return true;
}

bool ShardReader::take_line(std::string_view text) {
  const std::uint64_t line = ++report_.lines;
  // Most lines are another shard's, told by their symbol alone.
  const std::optional<std::string_view> symbol = quick_symbol(text);
  const std::uint64_t quick_hash = symbol ? symbol_hash(*symbol) : 0;
  if (!symbol || mine(quick_hash)) {
    LineReading reading = read_recording_line(text, thread_working_buffers());
    if (const auto* feed = std::get_if<FeedCommand>(&reading)) {
      // The quick symbol is the one the radar read, so its hash stands.
      const std::uint64_t hash = symbol ? quick_hash : symbol_hash(feed->symbol);
      if (symbol || mine(hash)) keep(line, feed->symbol, hash, feed->event);
    } else if (auto* fault = std::get_if<LineFault>(&reading)) {
      // A line read whole by every shard and rejected is shard 0's to report.
      if (symbol || shard_ == 0) {
        report_.bad.push_back(UnitBadLine{line, std::move(fault->message), std::move(fault->field)});
      }
    } else if (shard_ == 0) {
      report_.blank.push_back(line);
    }
  }
  return line < unit_lines_;
}

void ShardReader::keep(std::uint64_t line, std::string_view symbol, std::uint64_t hash,
                       const Event& event) {
  const std::int64_t ts = event_ts(event);
  if (!max_ts_ || ts > *max_ts_) {
    if (every_ts_ && (!max_ts_ || ts_period(ts, *every_ts_) > ts_period(*max_ts_, *every_ts_))) {
      report_.records.push_back(UnitRecord{line, ts});
    }
    max_ts_ = ts;
  }
  ++report_.events;
  if (pack_shards_ != 0) {
    reading_.packets[hash % pack_shards_].add(line, symbol, hash, event);
    return;
  }
  reading_.events.push_back(KeptEvent{line, hash,
                                      static_cast<std::uint32_t>(reading_.symbols.size()),
                                      static_cast<std::uint32_t>(symbol.size()), event});
  reading_.symbols.append(symbol);
}

void ShardReader::apply(std::uint64_t unit, std::uint64_t line) {
  while (!kept_.empty() && first_kept_ <= unit) {
    KeptUnit& kept = kept_.front();
    const bool whole = first_kept_ < unit;
    const std::string_view symbols = kept.symbols;
    for (; kept.applied < kept.events.size(); ++kept.applied) {
      const KeptEvent& event = kept.events[kept.applied];
      if (!whole && event.line > line) break;
      const std::int64_t ts = event_ts(event.event);
      if (!clock_ || ts > *clock_) clock_ = ts;
      const std::string_view symbol = symbols.substr(event.symbol_at, event.symbol_size);
      const std::uint32_t number =
          states_.apply(radars_, symbol, event.hash, SymbolStates::unknown, event.event);
      if (!first_backwards_ && states_.backwards() != 0) first_backwards_ = {first_kept_, event.line};
      if (states_.watched()) watch(first_kept_, event.line, number, event.event);
    }
    if (!whole) return;
    recycle(std::move(kept));
    kept_.pop_front();
    ++first_kept_;
  }
}

void ShardReader::watch(std::uint64_t unit, std::uint64_t line, std::uint32_t number,
                        const Event& event) {
  // As LineFeeder::watch does, so that both routes report the same crossings.
  const std::size_t count = radars_.size();
  const std::span<SymbolState* const> states = states_.states_of(number, count);
  const std::span<Watch> watches = states_.watches_of(number, count);
  for (std::size_t r = 0; r < count; ++r) {
    const auto crossed = observe(radars_[r].compiled(), *states[r], &event, watches[r], factors_[r]);
    if (!crossed || !crossings_wanted_) continue;
    crossings_.push_back(ShardCrossing{
        unit, Crossing{*crossed, static_cast<std::uint32_t>(r), 0, line,
                       Alert{states_.names()[number], watches[r].severity, factors_[r], watches[r].ts}}});
  }
}

std::vector<std::vector<ShardPeak>> ShardReader::take_peaks() {
  std::vector<std::vector<ShardPeak>> peaks(radars_.size());
  const std::vector<std::string>& names = states_.names();
  for (std::uint32_t number = 0; number < names.size(); ++number) {
    const std::span<Watch> watches = states_.watches_of(number, radars_.size());
    for (std::size_t r = 0; r < radars_.size(); ++r) {
      Watch& watch = watches[r];
      if (watch.peaked) {
        std::string text;
        append_peak(text, Peak{names[number], watch.peak, watch.peak_ts});
        peaks[r].push_back(ShardPeak{names[number], watch.peak, std::move(text)});
      }
      restart_peak(watch);
    }
  }
  return peaks;
}

std::vector<std::string> ShardReader::alerts() {
  return alerts_of(radars_);
}

}  // namespace fenmor::replay
