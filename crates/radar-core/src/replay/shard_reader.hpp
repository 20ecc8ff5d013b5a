#pragma once
// One shard of a replay by parts, reading every line of the input once.
//
// Every shard reads every part, in input order, and cuts it into units of a
// fixed number of lines (the last unit of a part is shorter), so all shards
// agree on the units whatever their block sizes. A line belongs to one shard:
// the shard of the symbol a radar reads from it, found without decoding where
// the line allows (symbol_route); a line that must be read whole and is
// rejected belongs to shard 0. A shard decodes only its own lines and skips
// the others by their symbol alone.
//
// A unit read gives a small report of the shard's own lines (accepted count,
// rejected lines, the points where its running maximum of ts, divided by T,
// rises); the shard keeps the unit's decoded events until the driver, having
// every shard's report, names the lines where it wants the alerts. Then the
// events are applied up to each of those lines in turn. So each line is
// decoded once in the whole cluster, and each radar ends up exactly as a
// radar fed the whole input would be for its symbols.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/replay/event_columns.hpp"
#include "crates/radar-core/src/replay/event_packet.hpp"
#include "crates/radar-core/src/replay/line_splitter.hpp"
#include "crates/radar-core/src/replay/severity_watch.hpp"
#include "crates/radar-core/src/replay/symbol_states.hpp"

namespace fenmor::replay {

class RowReader;

struct UnitBadLine {
  std::uint64_t line;  // in the unit, from 1
  std::string message;
  std::optional<std::string> field;
};

// A crossing of one of the shard's symbols, at line `crossing.line` of unit
// `unit`; its `events` is left 0: only the driver knows every shard's count.
struct ShardCrossing {
  std::uint64_t unit;
  Crossing crossing;
};

struct ShardPeak {
  std::string symbol;
  double severity;
  std::string text;  // its entry of a peaks_text
};

struct UnitRecord {
  std::uint64_t line;  // in the unit, from 1
  std::int64_t ts;
};

// What one unit held for this shard. Lines count from 1 in the unit.
struct UnitReport {
  std::uint64_t lines = 0;           // every line of the unit, the shard's or not
  std::uint64_t events = 0;          // the shard's accepted lines
  std::vector<std::uint64_t> blank;  // blank lines (seen alike by every shard)
  std::vector<UnitBadLine> bad;      // the shard's rejected lines
  // The shard's accepted lines at which its running maximum of ts, over
  // everything it has read, rises to a new period of T (its first one
  // included); kept only with T.
  std::vector<UnitRecord> records;
};

class ShardReader {
 public:
  // `shards` > 0, `shard` < `shards`, `radars` not empty, `unit_lines` > 0;
  // `every_ts` (T) > 0 when set.
  ShardReader(std::vector<RadarHandle> radars, std::uint64_t shard, std::uint64_t shards,
              std::optional<std::uint64_t> every_ts, std::uint64_t unit_lines);
  // From now on, each applied event's symbol is evaluated under every radar
  // as the line feeder does, and its crossings kept until taken.
  void watch_crossings() {
    crossings_wanted_ = true;
    states_.watch();
  }
  // From now on, peaks are kept as the line feeder keeps them between
  // checkpoints, until taken.
  void watch_peaks() { states_.watch(); }

  // Reading. The next part begins (a part that starts its file skips a
  // byte-order mark there). Its bytes follow in blocks cut anywhere; read()
  // is true when the current unit is full, the rest of the block then held
  // back (an empty block resumes with it). end_part() reads what is held back
  // and the last line (dropped unless `complete`); true when the unit filled
  // before the part ended (call it again after taking the unit). A unit is
  // taken once full, or when its part has ended.
  void start_part(bool starts_file);
  bool read(std::string_view block);
  bool end_part(bool complete);
  // A part of a columnar recording is given as batches of rows instead, each
  // row a line of the unit (row_reader.hpp reads it as the line it stands
  // for; a refused row is shard 0's to report). Rows from `first` are taken
  // until the batch ends or the unit is full; the row after the last taken.
  // end_part() still ends the part.
  std::size_t read_rows(const EventColumns& columns, std::size_t first);
  // The current unit's report; its events are kept until applied. Units are
  // numbered from 0 in the order taken, over all parts.
  UnitReport take_unit();
  // Whether the current unit is full: it must be taken before reading on.
  bool unit_full() const noexcept { return report_.lines >= unit_lines_; }

  // Exchange, for shards that do not read: a reader (shard 0 of 1) packs
  // each unit it reads per shard, and each shard keeps the packets it is
  // sent as if it had read the unit itself.
  //
  // Before the first part: from now on each unit's events are packed
  // (event_packet.hpp) per shard of `shards` (> 0) as they are read, in line
  // order, instead of kept for applying.
  void pack_units(std::uint64_t shards);
  // The oldest unit taken, removed: one packet per shard, valid until the
  // next call (their memory is then reused).
  std::span<const PacketWriter> take_unit_events();
  // A packet of take_unit_events kept as the next unit; false (nothing kept)
  // when it is not one.
  bool add_unit_events(std::string_view packet);

  // Applying. Every kept event of the units before `unit` and those of
  // `unit` on lines up to `line`; never goes back.
  void apply(std::uint64_t unit, std::uint64_t line);
  // Every radar's alerts reply now.
  std::vector<std::string> alerts();
  // The crossings of the events applied since the last call, in input order.
  std::vector<ShardCrossing> take_crossings() { return std::exchange(crossings_, {}); }
  // Per radar, the shard's symbols that alerted since the last call (those
  // alerting now included), each as its peaks entry; then the next interval
  // starts.
  std::vector<std::vector<ShardPeak>> take_peaks();
  // The factor names of a radar's alerts, severity last.
  const std::vector<std::string>& factor_names(std::size_t radar) const noexcept {
    return radars_[radar].compiled().keys().names();
  }

  std::optional<std::int64_t> clock() const noexcept { return clock_; }  // largest ts applied
  // Events applied whose ts went back for their symbol, and the (unit, line)
  // of the first.
  std::uint64_t backwards() const noexcept { return states_.backwards(); }
  std::optional<std::pair<std::uint64_t, std::uint64_t>> first_backwards() const noexcept {
    return first_backwards_;
  }
  // The symbols of the events applied.
  const std::vector<std::string>& symbols() const noexcept { return states_.names(); }

 private:
  struct KeptEvent {
    std::uint64_t line;
    std::uint64_t hash;       // symbol_hash of the symbol, found when the line was routed
    std::uint32_t symbol_at;  // in the unit's symbol text
    std::uint32_t symbol_size;
    Event event;
  };
  struct KeptUnit {
    std::vector<KeptEvent> events;
    std::string symbols;
    std::size_t applied = 0;
    std::vector<PacketWriter> packets;  // instead of events, when packing
  };

  // One line; false when it filled the unit.
  bool take_line(std::string_view text);
  void take_row(const RowReader& rows, std::size_t row, WorkingBuffers& buffers);
  bool mine(std::uint64_t hash) const noexcept { return hash % shards_ == shard_; }
  KeptUnit fresh_unit();
  // One packet per shard packed for, each with room reserved for a unit.
  void ready_packets(KeptUnit& unit) const;
  void recycle(KeptUnit unit);
  void keep(std::uint64_t line, std::string_view symbol, std::uint64_t hash, const Event& event);
  // Evaluates the symbol just applied under every radar; its crossings to crossings_.
  void watch(std::uint64_t unit, std::uint64_t line, std::uint32_t number, const Event& event);

  std::vector<RadarHandle> radars_;
  std::uint64_t shard_;
  std::uint64_t shards_;
  std::optional<std::uint64_t> every_ts_;
  std::uint64_t unit_lines_;
  LineSplitter splitter_;

  // The unit being read.
  UnitReport report_;
  KeptUnit reading_;
  std::optional<std::int64_t> max_ts_;  // of the lines read

  // Units taken, not yet applied whole; the first is unit number first_kept_.
  std::deque<KeptUnit> kept_;
  // Units applied, emptied with their memory kept: the next units read
  // reuse it rather than grow fresh memory (page faults) every time.
  std::vector<KeptUnit> spare_;
  std::uint64_t first_kept_ = 0;
  SymbolStates states_;
  std::optional<std::int64_t> clock_;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> first_backwards_;

  // Exchange: the shards units are packed for (0: not packing), the unit
  // whose packets were handed out last, and a packet's symbols being read
  // (kept for their memory).
  std::uint64_t pack_shards_ = 0;
  std::optional<KeptUnit> taken_;
  std::vector<std::string_view> packet_symbols_;
  struct KeptSymbol {
    std::uint64_t hash;
    std::uint32_t at;
  };
  std::vector<KeptSymbol> kept_symbols_;

  bool crossings_wanted_ = false;
  std::vector<std::vector<double>> factors_;  // per radar, reused by every evaluation
  std::vector<ShardCrossing> crossings_;
};

}  // namespace fenmor::replay
