#pragma once
// The second pass of a replay by parts: one shard's radars (one per spec) fed
// the lines of its own symbols, part after part in input order, stopping at
// the lines where the driver wants their alerts.
//
// A line of another shard is recognised by its symbol alone (symbol_route)
// and skipped without decoding its event; a rejected line changes nothing,
// whichever shard sees it. So each radar ends up exactly as a radar fed the
// whole input would be for its symbols.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/replay/line_splitter.hpp"
#include "crates/radar-core/src/replay/symbol_batch.hpp"

namespace fenmor::replay {

class ShardFeeder {
 public:
  // `shards` > 0, `shard` < `shards`, `radars` not empty.
  ShardFeeder(std::vector<RadarHandle> radars, std::uint64_t shard, std::uint64_t shards);

  // The next part begins: its lines count from 1. A part that starts its
  // file skips a byte-order mark there.
  void start_part(bool starts_file);
  // Feeds the part's lines in `block` (the rest held back first) up to line
  // `until` of the part; true when line `until` has been fed, the rest of
  // the block then held back for the next call.
  bool feed(std::string_view block, std::uint64_t until);
  // The part's bytes are all given: its lines held back, then its last line
  // (no line break needed; dropped unless `complete`), up to `until`. True
  // once every line of the part has been fed.
  bool end_part(bool complete, std::uint64_t until);

  // Every radar's alerts reply now.
  std::vector<std::string> alerts();

  std::uint64_t lines() const noexcept { return splitter_.lines(); }  // of the current part
  std::optional<std::int64_t> clock() const noexcept { return clock_; }
  // The symbols of the events fed.
  const std::vector<std::string_view>& symbols() const noexcept { return batch_.symbols(); }

 private:
  // One line; false when it was line `until`.
  bool take_line(std::uint64_t number, std::string_view text, std::uint64_t until);
  bool mine(std::string_view symbol) const noexcept;

  std::vector<RadarHandle> radars_;
  std::uint64_t shard_;
  std::uint64_t shards_;
  LineSplitter splitter_;
  SymbolBatch batch_;
  std::optional<std::int64_t> clock_;
};

}  // namespace fenmor::replay
