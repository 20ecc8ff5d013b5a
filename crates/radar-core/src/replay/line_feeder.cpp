#include "crates/radar-core/src/replay/line_feeder.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <span>
#include <thread>
#include <utility>

#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/replay/crossing_line.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor::replay {

namespace {

// Lines are read in pieces of this many; a piece read is marked so.
constexpr std::size_t read_piece = 256;
constexpr std::uint8_t piece_read = 2;

}  // namespace

LineFeeder::LineFeeder(std::vector<RadarHandle> radars, CheckpointPolicy policy, bool strict,
                       Watching watching, std::size_t room)
    : radars_(std::move(radars)), clock_(policy), strict_(strict), watching_(watching), room_(room) {
  for (const RadarHandle& radar : radars_) factors_.emplace_back(radar.compiled().keys().names().size());
  if (watching_.any()) states_.watch();
}

void LineFeeder::feed(std::string_view block, std::vector<FeederItem>& out) {
  if (stopped_) return;
  splitter_.split(block, [&](std::uint64_t number, std::string_view text) {
    collect(number, text, block);
    return true;
  });
  given_ = 0;
  take_collected(out);
}

void LineFeeder::resume(std::vector<FeederItem>& out) {
  given_ = 0;
  if (rows_pending_) {
    take_row_run(out);
  } else if (pending()) {
    take_collected(out);
  }
}

void LineFeeder::finish(bool complete, std::vector<FeederItem>& out) {
  given_ = 0;
  if (!stopped_) {
    splitter_.finish(complete, [&](std::uint64_t number, std::string_view text) {
      collect(number, text, {});
      return true;
    });
    // At most the one carried line, which no room can cut short.
    take_collected(out);
  }
  if (!stopped_ && clock_.due_at_end()) out.emplace_back(checkpoint());
}

void LineFeeder::take(std::vector<ReadLine> lines, std::vector<FeederItem>& out) {
  given_ = 0;
  if (stopped_) return;
  splitter_.count(lines.size());
  const std::size_t count = lines.size();
  // The vector's storage moves whole: a reading that refers to its own
  // ReadLine's symbol stays valid.
  read_ = std::move(lines);
  // Pending lines are all read already: what resume() finds is ready.
  lines_.assign(count, Line{0, {}});
  pieces_ = std::vector<std::atomic<std::uint8_t>>((count + read_piece - 1) / read_piece);
  for (auto& state : pieces_) state.store(piece_read, std::memory_order_relaxed);
  next_ = 0;
  take_run(count, out);
  if (stopped_ || next_ >= count) {
    lines_.clear();
    next_ = 0;
  }
}

void LineFeeder::take_rows(std::vector<FeederItem>& out) {
  given_ = 0;
  if (stopped_) return;
  splitter_.count(rows_.rows());
  row_next_ = 0;
  refused_next_ = 0;
  key_numbers_.assign(rows_.symbols.size(), SymbolStates::unknown);
  rows_pending_ = true;
  take_row_run(out);
}

void LineFeeder::take_row_run(std::vector<FeederItem>& out) {
  // As take_line, but an event's states change only when the alerts are
  // next asked for, or the call returns: until then the symbol's number, the
  // clock and the backwards count are all that taking it needs, and none of
  // them reads a state.
  const std::size_t count = rows_.rows();
  while (row_next_ < count) {
    const std::size_t row = row_next_++;
    const std::uint32_t key = rows_.keys[row];
    if (key == RowEvents::refused) {
      // Taken as its line is, in order. A bad row reads no state; only a row
      // read as an event after all (never expected) needs the events before
      // it applied first.
      ReadLine& line = rows_.refused_rows[refused_next_++];
      if (std::holds_alternative<FeedCommand>(line.reading)) apply_stretch();
      if (!take_line(line, out)) break;
      continue;
    }
    taken_ = rows_.first_number + row;
    const Event& event = rows_.events[row];
    const RowEvents::Symbol& symbol = rows_.symbols[key];
    const std::int64_t ts = event_ts(event);
    if (!selection_.everything() && !selection_.admits(symbol.text, ts)) continue;
    if (clock_.due_before(ts)) give(checkpoint(), out);
    // A new symbol's states are made here, after any checkpoint before its
    // first event, as take_line makes them.
    std::uint32_t& number = key_numbers_[key];
    if (number == SymbolStates::unknown) {
      number = states_.enter(radars_, symbol.text, symbol.hash, SymbolStates::unknown);
    }
    states_.count_ts(number, ts);
    if (first_backwards_ == 0 && states_.backwards() != 0) first_backwards_ = taken_;
    stretch_.push_back(StretchEvent{number, &event});
    if (clock_.fed(ts)) give(checkpoint(), out);
    if (given_ >= room_) break;
  }
  apply_stretch();
  if (stopped_ || row_next_ >= count) rows_pending_ = false;
}

void LineFeeder::apply_stretch() {
  grouped_.apply(states_, radars_.size(), stretch_);
  stretch_.clear();
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
  constexpr std::size_t piece = read_piece;
  enum : std::uint8_t { free_piece, claimed, ready = piece_read };
  const std::size_t count = lines_.size();
  const std::size_t pieces = (count + piece - 1) / piece;
  if (next_ == 0) {
    read_.resize(count);
    pieces_ = std::vector<std::atomic<std::uint8_t>>(pieces);
  }
  const std::size_t first_piece = next_ / piece;
  std::atomic<std::size_t> cursor{first_piece};
  std::atomic<bool> taken{false};
  const auto claim = [&](std::size_t p) {
    std::uint8_t expected = free_piece;
    return pieces_[p].compare_exchange_strong(expected, claimed, std::memory_order_acq_rel);
  };
  const auto read_piece = [&](std::size_t p) {
    WorkingBuffers& buffers = thread_working_buffers();
    const std::size_t stop = std::min(count, (p + 1) * piece);
    for (std::size_t i = p * piece; i < stop; ++i) {
      read_line(lines_[i].number, lines_[i].text, buffers, read_[i]);
    }
    pieces_[p].store(ready, std::memory_order_release);
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
  parallel_for(pieces - first_piece > 1 ? 2 : 1, [&](std::size_t index) {
    if (index == 1) {
      while (!taken.load(std::memory_order_relaxed) && read_next()) {
      }
      return;
    }
    for (std::size_t p = first_piece; p < pieces && next_ < count && !stopped_; ++p) {
      if (claim(p)) read_piece(p);
      while (pieces_[p].load(std::memory_order_acquire) != ready) {
        if (!read_next()) std::this_thread::yield();
      }
      take_run(std::min(count, (p + 1) * piece), out);
      if (given_ >= room_) break;
    }
    taken.store(true, std::memory_order_relaxed);
  });
  if (stopped_ || next_ >= count) {
    lines_.clear();
    copies_.clear();
    next_ = 0;
  }
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
  apply_stretch();  // the alerts see every event taken (take_rows)
  clock_.taken();
  ++checkpoints_;
  if (sweep_) sweep_->checkpoint(clock_.events());
  if (log_) log_->checkpoints.push_back(clock_.events());
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

void LineFeeder::watch(std::uint32_t number, std::uint64_t line, const Event& event,
                       std::vector<FeederItem>& out) {
  const std::size_t count = radars_.size();
  const std::span<SymbolState* const> states = states_.states_of(number, count);
  const std::span<Watch> watches = states_.watches_of(number, count);
  for (std::size_t r = 0; r < count; ++r) {
    const CompiledSpec& spec = radars_[r].compiled();
    std::vector<double>& factors = factors_[r];
    const auto crossed = observe(spec, *states[r], &event, watches[r], factors);
    if (!crossed || !watching_.crossings) continue;
    Crossing crossing{*crossed, static_cast<std::uint32_t>(r), clock_.events(), line,
                      Alert{states_.names()[number], watches[r].severity, factors, watches[r].ts}};
    if (!crossing_members_) {
      give(std::move(crossing), out);
      continue;
    }
    auto* lines = out.empty() ? nullptr : std::get_if<CrossingLines>(&out.back());
    if (lines == nullptr) lines = &std::get<CrossingLines>(out.emplace_back(CrossingLines{}));
    const std::size_t before = lines->text.size();
    append_crossing_line(lines->text, crossing, (*crossing_members_)[r], factor_names(r));
    given_ += lines->text.size() - before;
  }
}

void LineFeeder::take_run(std::size_t end, std::vector<FeederItem>& out) {
  // The states some lines ahead are asked for while this line is taken.
  constexpr std::size_t states_ahead = 8;
  constexpr std::size_t histories_ahead = 4;
  const auto feed_of = [&](std::size_t i) { return std::get_if<FeedCommand>(&read_[i].reading); };
  while (next_ < end) {
    const std::size_t i = next_;
    if (i + states_ahead < end) {
      ReadLine& ahead = read_[i + states_ahead];
      if (const FeedCommand* feed = feed_of(i + states_ahead)) {
        ahead.state = states_.find(feed->symbol, ahead.hash);
        if (ahead.state != SymbolStates::unknown) states_.prefetch_states(ahead.state, radars_.size());
        if (ahead.state != SymbolStates::unknown && sweep_) sweep_->prefetch_state(ahead.state);
      }
    }
    if (i + histories_ahead < end) {
      const ReadLine& ahead = read_[i + histories_ahead];
      if (ahead.state != SymbolStates::unknown) states_.prefetch_histories(ahead.state, radars_.size());
      if (ahead.state != SymbolStates::unknown && sweep_) sweep_->prefetch_histories(ahead.state);
    }
    ++next_;
    if (!take_line(read_[i], out)) return;
  }
}

void LineFeeder::give(FeederItem item, std::vector<FeederItem>& out) {
  if (const auto* checkpoint = std::get_if<Checkpoint>(&item)) {
    for (const std::string& reply : checkpoint->replies) given_ += reply.size();
    for (const std::string& peaks : checkpoint->peaks) given_ += peaks.size();
  } else if (const auto* bad = std::get_if<BadLine>(&item)) {
    given_ += bad->message.size() + (bad->field ? bad->field->size() : 0);
  } else if (const auto* lines = std::get_if<CrossingLines>(&item)) {
    given_ += lines->text.size();
  } else {
    // About what the crossing's alert takes as text: its symbol and numbers.
    const Alert& alert = std::get<Crossing>(item).alert;
    given_ += alert.symbol.size() + 24 * (alert.factors.size() + 4);
  }
  out.push_back(std::move(item));
}

void LineFeeder::keep(std::uint32_t number, const Event& event) {
  if (log_->size() >= log_limit_) {
    log_.reset();
    return;
  }
  log_->symbols.push_back(number);
  log_->events.push_back(event);
}

bool LineFeeder::take_line(ReadLine& line, std::vector<FeederItem>& out) {
  taken_ = line.number;
  if (auto* feed = std::get_if<FeedCommand>(&line.reading)) {
    const std::int64_t ts = event_ts(feed->event);
    if (!selection_.everything() && !selection_.admits(feed->symbol, ts)) return true;
    // The alerts as they stand before this event.
    if (clock_.due_before(ts)) give(checkpoint(), out);
    const std::uint32_t number = states_.apply(radars_, feed->symbol, line.hash, line.state, feed->event);
    if (first_backwards_ == 0 && states_.backwards() != 0) first_backwards_ = line.number;
    const bool due = clock_.fed(ts);
    if (watching_.any()) watch(number, line.number, feed->event, out);
    if (sweep_) sweep_->observe(number, feed->event, clock_.events());
    if (log_) keep(number, feed->event);
    if (prices_) prices_->record(number, feed->event);
    if (due) give(checkpoint(), out);
    return given_ < room_;
  }
  if (auto* fault = std::get_if<LineFault>(&line.reading)) {
    ++bad_lines_;
    give(BadLine{line.number, std::move(fault->message), std::move(fault->field)}, out);
    if (strict_) stopped_ = true;
    return !stopped_ && given_ < room_;
  }
  return true;  // blank
}

}  // namespace fenmor::replay
