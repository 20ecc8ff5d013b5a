#include "crates/radar-core/src/replay/line_feeder.hpp"

#include <algorithm>
#include <utility>

#include "crates/radar-core/src/protocol/replies.hpp"

namespace fenmor::replay {

LineFeeder::LineFeeder(std::vector<RadarHandle> radars, CheckpointPolicy policy, bool strict)
    : radars_(std::move(radars)), clock_(policy), strict_(strict) {}

void LineFeeder::feed(std::string_view block, std::vector<FeederItem>& out) {
  if (stopped_) return;
  WorkingBuffers& buffers = thread_working_buffers();
  splitter_.split(block, [&](std::uint64_t number, std::string_view text) {
    return take_line(number, text, buffers, out);
  });
}

void LineFeeder::finish(bool complete, std::vector<FeederItem>& out) {
  if (!stopped_) {
    WorkingBuffers& buffers = thread_working_buffers();
    splitter_.finish(complete, [&](std::uint64_t number, std::string_view text) {
      return take_line(number, text, buffers, out);
    });
    flush();
  }
  if (!stopped_ && clock_.due_at_end()) out.emplace_back(checkpoint());
}

std::vector<std::string> LineFeeder::alerts() {
  flush();
  std::vector<std::string> replies;
  replies.reserve(radars_.size());
  for (RadarHandle& radar : radars_) {
    // Each reply is copied out before the next radar writes its own into
    // the thread's reply buffer.
    auto reply = radar.apply(AlertsCommand{});
    if (reply) {
      replies.emplace_back(*reply);
    } else {
      write_error_reply(replies.emplace_back(), reply.error());
    }
  }
  return replies;
}

Checkpoint LineFeeder::checkpoint() {
  flush();
  clock_.taken();
  ++checkpoints_;
  return Checkpoint{clock_.events(), clock_.ts(), alerts()};
}

std::uint32_t LineFeeder::number_of(std::string_view symbol) {
  if (const auto found = numbers_.find(symbol); found != numbers_.end()) return found->second;
  const auto number = static_cast<std::uint32_t>(names_.size());
  const auto added = numbers_.emplace(std::string(symbol), number).first;
  names_.push_back(added->first);  // the key of a node never moves
  pending_count_.push_back(0);
  return number;
}

void LineFeeder::flush() {
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
    for (RadarHandle& radar : radars_) radar.apply(names_[symbol], events);
    pending_count_[symbol] = 0;
    begin = end;
  }
  pending_.clear();
  pending_symbols_.clear();
}

bool LineFeeder::take_line(std::uint64_t number, std::string_view text, WorkingBuffers& buffers,
                           std::vector<FeederItem>& out) {
  LineReading reading = read_recording_line(text, buffers);
  if (auto* feed = std::get_if<FeedCommand>(&reading)) {
    const std::int64_t ts = event_ts(feed->event);
    // The alerts as they stand before this event.
    if (clock_.due_before(ts)) out.emplace_back(checkpoint());
    const std::uint32_t symbol = number_of(feed->symbol);
    if (pending_count_[symbol]++ == 0) pending_symbols_.push_back(symbol);
    pending_.push_back(Pending{symbol, feed->event});
    if (pending_.size() == max_pending) flush();
    if (clock_.fed(ts)) out.emplace_back(checkpoint());
    return true;
  }
  if (auto* fault = std::get_if<LineFault>(&reading)) {
    ++bad_lines_;
    out.emplace_back(BadLine{number, std::move(fault->message), std::move(fault->field)});
    if (strict_) stopped_ = true;
    return !stopped_;
  }
  return true;  // blank
}

}  // namespace fenmor::replay
