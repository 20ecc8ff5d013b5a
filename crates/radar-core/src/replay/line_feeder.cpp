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

std::vector<std::string> alerts_of(std::span<RadarHandle> radars) {
  std::vector<std::string> replies;
  replies.reserve(radars.size());
  for (RadarHandle& radar : radars) {
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

std::vector<std::string> LineFeeder::alerts() {
  flush();
  return alerts_of(radars_);
}

Checkpoint LineFeeder::checkpoint() {
  flush();
  clock_.taken();
  ++checkpoints_;
  return Checkpoint{clock_.events(), clock_.ts(), alerts()};
}

void LineFeeder::flush() { batch_.flush(radars_); }

bool LineFeeder::take_line(std::uint64_t number, std::string_view text, WorkingBuffers& buffers,
                           std::vector<FeederItem>& out) {
  LineReading reading = read_recording_line(text, buffers);
  if (auto* feed = std::get_if<FeedCommand>(&reading)) {
    const std::int64_t ts = event_ts(feed->event);
    // The alerts as they stand before this event.
    if (clock_.due_before(ts)) out.emplace_back(checkpoint());
    if (batch_.add(feed->symbol, feed->event)) flush();
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
