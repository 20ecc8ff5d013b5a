#include "crates/radar-core/src/replay/shard_feeder.hpp"

#include <utility>
#include <variant>

#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/replay/recording_line.hpp"
#include "crates/radar-core/src/replay/symbol_route.hpp"

namespace fenmor::replay {

ShardFeeder::ShardFeeder(std::vector<RadarHandle> radars, std::uint64_t shard, std::uint64_t shards)
    : radars_(std::move(radars)), shard_(shard), shards_(shards) {}

void ShardFeeder::start_part(bool starts_file) { splitter_ = LineSplitter(starts_file); }

bool ShardFeeder::feed(std::string_view block, std::uint64_t until) {
  if (splitter_.lines() >= until) return true;
  splitter_.split(block, [&](std::uint64_t number, std::string_view text) {
    return take_line(number, text, until);
  });
  return splitter_.lines() >= until;
}

bool ShardFeeder::end_part(bool complete, std::uint64_t until) {
  if (splitter_.lines() >= until && splitter_.pending()) return false;
  splitter_.finish(complete, [&](std::uint64_t number, std::string_view text) {
    return take_line(number, text, until);
  });
  return !splitter_.pending();
}

std::vector<std::string> ShardFeeder::alerts() {
  batch_.flush(radars_);
  return alerts_of(radars_);
}

bool ShardFeeder::mine(std::string_view symbol) const noexcept {
  return symbol_hash(symbol) % shards_ == shard_;
}

bool ShardFeeder::take_line(std::uint64_t number, std::string_view text, std::uint64_t until) {
  const bool go_on = number < until;
  const std::optional<std::string_view> symbol = quick_symbol(text);
  if (symbol && !mine(*symbol)) return go_on;
  const LineReading reading = read_recording_line(text, thread_working_buffers());
  const auto* feed = std::get_if<FeedCommand>(&reading);
  if (feed == nullptr || (!symbol && !mine(feed->symbol))) return go_on;
  const std::int64_t ts = event_ts(feed->event);
  if (!clock_ || ts > *clock_) clock_ = ts;
  if (batch_.add(feed->symbol, feed->event)) batch_.flush(radars_);
  return go_on;
}

}  // namespace fenmor::replay
