#include "crates/radar-core/src/replay/line_feeder.hpp"

#include <algorithm>
#include <functional>
#include <utility>

#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor::replay {

LineFeeder::LineFeeder(std::vector<RadarHandle> radars, CheckpointPolicy policy, bool strict)
    : radars_(std::move(radars)), clock_(policy), strict_(strict) {}

void LineFeeder::feed(std::string_view block, std::vector<FeederItem>& out) {
  if (stopped_) return;
  splitter_.split(block, [&](std::uint64_t number, std::string_view text) {
    collect(number, text, block);
    return true;
  });
  take_collected(out);
}

void LineFeeder::finish(bool complete, std::vector<FeederItem>& out) {
  if (!stopped_) {
    splitter_.finish(complete, [&](std::uint64_t number, std::string_view text) {
      collect(number, text, {});
      return true;
    });
    take_collected(out);
  }
  if (!stopped_ && clock_.due_at_end()) out.emplace_back(checkpoint());
}

void LineFeeder::collect(std::uint64_t number, std::string_view text, std::string_view block) {
  const std::less_equal<const char*> not_after;
  const bool in_block = not_after(block.data(), text.data()) &&
                        not_after(text.data() + text.size(), block.data() + block.size());
  if (!in_block) text = copies_.emplace_back(text);
  lines_.push_back(Line{number, text});
}

void LineFeeder::take_collected(std::vector<FeederItem>& out) {
  // Reading a line costs about twice what taking it does, and lines are read
  // independently: runs of lines are read on the worker pool while the run
  // before them is taken, in order, by one thread. Waking a worker costs a
  // few hundred microseconds on a virtual machine, so a block is cut into a
  // few long runs, not many short ones.
  const std::size_t run = std::max<std::size_t>(4096, (lines_.size() + 3) / 4);
  const std::size_t piece = run / 8;
  const std::size_t runs = (lines_.size() + run - 1) / run;
  const auto read_run = [&](std::size_t r, std::size_t index) {
    const std::size_t first = r * run + index * piece;
    const std::size_t last = std::min(first + piece, std::min(lines_.size(), (r + 1) * run));
    WorkingBuffers& buffers = thread_working_buffers();
    std::vector<ReadLine>& read = read_[r % 2];
    for (std::size_t i = first; i < last; ++i) {
      read_line(lines_[i].number, lines_[i].text, buffers, read[i - r * run]);
    }
  };
  const auto pieces_of = [&](std::size_t r) {
    const std::size_t count = std::min(run, lines_.size() - r * run);
    read_[r % 2].resize(count);
    return (count + piece - 1) / piece;
  };
  if (runs > 0) parallel_for(pieces_of(0), [&](std::size_t index) { read_run(0, index); });
  for (std::size_t r = 0; r < runs && !stopped_; ++r) {
    const std::size_t next_pieces = r + 1 < runs ? pieces_of(r + 1) : 0;
    parallel_for(1 + next_pieces, [&](std::size_t index) {
      if (index > 0) {
        read_run(r + 1, index - 1);
        return;
      }
      take_run(read_[r % 2], out);
    });
  }
  lines_.clear();
  copies_.clear();
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
  return alerts_of(radars_);
}

Checkpoint LineFeeder::checkpoint() {
  clock_.taken();
  ++checkpoints_;
  return Checkpoint{clock_.events(), clock_.ts(), alerts()};
}

void LineFeeder::take_run(std::span<ReadLine> run, std::vector<FeederItem>& out) {
  // The states some lines ahead are asked for while this line is taken.
  constexpr std::size_t states_ahead = 8;
  constexpr std::size_t histories_ahead = 4;
  const auto feed_of = [&](std::size_t i) { return std::get_if<FeedCommand>(&run[i].reading); };
  for (std::size_t i = 0; i < run.size(); ++i) {
    if (i + states_ahead < run.size()) {
      ReadLine& ahead = run[i + states_ahead];
      if (const FeedCommand* feed = feed_of(i + states_ahead)) {
        ahead.state = states_.find(feed->symbol, ahead.hash);
        if (ahead.state != SymbolStates::unknown) states_.prefetch_states(ahead.state, radars_.size());
      }
    }
    if (i + histories_ahead < run.size()) {
      const ReadLine& ahead = run[i + histories_ahead];
      if (ahead.state != SymbolStates::unknown) states_.prefetch_histories(ahead.state, radars_.size());
    }
    if (!take_line(run[i], out)) return;
  }
}

bool LineFeeder::take_line(ReadLine& line, std::vector<FeederItem>& out) {
  taken_ = line.number;
  if (auto* feed = std::get_if<FeedCommand>(&line.reading)) {
    const std::int64_t ts = event_ts(feed->event);
    // The alerts as they stand before this event.
    if (clock_.due_before(ts)) out.emplace_back(checkpoint());
    states_.apply(radars_, feed->symbol, line.hash, line.state, feed->event);
    if (clock_.fed(ts)) out.emplace_back(checkpoint());
    return true;
  }
  if (auto* fault = std::get_if<LineFault>(&line.reading)) {
    ++bad_lines_;
    out.emplace_back(BadLine{line.number, std::move(fault->message), std::move(fault->field)});
    if (strict_) stopped_ = true;
    return !stopped_;
  }
  return true;  // blank
}

}  // namespace fenmor::replay
