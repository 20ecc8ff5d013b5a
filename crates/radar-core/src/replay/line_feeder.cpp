#include "crates/radar-core/src/replay/line_feeder.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <span>
#include <thread>
#include <utility>

#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor::replay {

LineFeeder::LineFeeder(std::vector<RadarHandle> radars, CheckpointPolicy policy, bool strict,
                       Watching watching)
    : radars_(std::move(radars)), clock_(policy), strict_(strict), watching_(watching) {
  for (const RadarHandle& radar : radars_) factors_.emplace_back(radar.compiled().keys().names().size());
}

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
  if (!lies_within(text, block)) text = copies_.emplace_back(text);
  lines_.push_back(Line{number, text});
}

void LineFeeder::take_collected(std::vector<FeederItem>& out) {
  // Reading a line costs about twice what taking it does, and lines are read
  // independently, so the pool reads them while one thread takes them in
  // order right behind. The whole block is one call to the pool (waking a
  // thread costs a few hundred microseconds on a virtual machine). Pieces of
  // lines go to whoever claims them first: the reader from the front, the
  // taker the piece it needs next when it is still free, or any free piece
  // while it waits; so one thread alone also gets through.
  constexpr std::size_t piece = 256;
  enum : std::uint8_t { free_piece, claimed, ready };
  const std::size_t count = lines_.size();
  const std::size_t pieces = (count + piece - 1) / piece;
  read_.resize(count);
  std::vector<std::atomic<std::uint8_t>> state(pieces);
  std::atomic<std::size_t> cursor{0};
  std::atomic<bool> taken{false};
  const auto claim = [&](std::size_t p) {
    std::uint8_t expected = free_piece;
    return state[p].compare_exchange_strong(expected, claimed, std::memory_order_acq_rel);
  };
  const auto read_piece = [&](std::size_t p) {
    WorkingBuffers& buffers = thread_working_buffers();
    const std::size_t last = std::min(count, (p + 1) * piece);
    for (std::size_t i = p * piece; i < last; ++i) {
      read_line(lines_[i].number, lines_[i].text, buffers, read_[i]);
    }
    state[p].store(ready, std::memory_order_release);
  };
  // Reads the next free piece from the front; false when there is none.
  const auto read_next = [&] {
    for (std::size_t p = cursor.fetch_add(1); p < pieces; p = cursor.fetch_add(1)) {
      if (claim(p)) {
        read_piece(p);
        return true;
      }
    }
    return false;
  };
  parallel_for(pieces > 1 ? 2 : 1, [&](std::size_t index) {
    if (index == 1) {
      while (!taken.load(std::memory_order_relaxed) && read_next()) {
      }
      return;
    }
    for (std::size_t p = 0; p < pieces && !stopped_; ++p) {
      if (claim(p)) read_piece(p);
      while (state[p].load(std::memory_order_acquire) != ready) {
        if (!read_next()) std::this_thread::yield();
      }
      const std::size_t first = p * piece;
      take_run(std::span(read_).subspan(first, std::min(piece, count - first)), out);
    }
    taken.store(true, std::memory_order_relaxed);
  });
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
  return Checkpoint{clock_.events(), clock_.ts(), alerts(),
                    watching_.peaks ? take_peaks() : std::vector<std::string>{}};
}

std::vector<std::string> LineFeeder::take_peaks() {
  std::vector<std::string> texts;
  std::vector<Peak> peaks;
  const std::vector<std::string>& names = states_.names();
  for (std::size_t r = 0; r < radars_.size(); ++r) {
    peaks.clear();
    for (std::uint32_t number = 0; number < names.size(); ++number) {
      Watch& watch = states_.watches_of(number, radars_.size())[r];
      if (watch.peaked) peaks.push_back(Peak{names[number], watch.peak, watch.peak_ts});
      restart_peak(watch);
    }
    texts.push_back(peaks_text(peaks));
  }
  return texts;
}

void LineFeeder::watch(std::uint32_t number, std::uint64_t line, std::vector<FeederItem>& out) {
  const std::size_t count = radars_.size();
  const std::span<SymbolState* const> states = states_.states_of(number, count);
  const std::span<Watch> watches = states_.watches_of(number, count);
  for (std::size_t r = 0; r < count; ++r) {
    const CompiledSpec& spec = radars_[r].compiled();
    std::vector<double>& factors = factors_[r];
    const auto crossed = observe(spec, *states[r], watches[r], factors);
    if (!crossed || !watching_.crossings) continue;
    out.emplace_back(Crossing{*crossed, static_cast<std::uint32_t>(r), clock_.events(), line,
                              Alert{states_.names()[number], watches[r].severity, factors,
                                    watches[r].ts}});
  }
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
    const std::uint32_t number = states_.apply(radars_, feed->symbol, line.hash, line.state, feed->event);
    const bool due = clock_.fed(ts);
    if (watching_.any()) watch(number, line.number, out);
    if (due) out.emplace_back(checkpoint());
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
