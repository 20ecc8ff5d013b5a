#include "crates/radar-core/src/replay/line_feeder.hpp"

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
  }
  if (!stopped_ && clock_.due_at_end()) out.emplace_back(checkpoint());
}

std::vector<std::string> LineFeeder::alerts() {
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
  clock_.taken();
  ++checkpoints_;
  return Checkpoint{clock_.events(), clock_.ts(), alerts()};
}

bool LineFeeder::take_line(std::uint64_t number, std::string_view text, WorkingBuffers& buffers,
                           std::vector<FeederItem>& out) {
  LineReading reading = read_recording_line(text, buffers);
  if (auto* feed = std::get_if<FeedCommand>(&reading)) {
    const std::int64_t ts = event_ts(feed->event);
    // The alerts as they stand before this event.
    if (clock_.due_before(ts)) out.emplace_back(checkpoint());
    for (RadarHandle& radar : radars_) radar.apply(*feed);
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
