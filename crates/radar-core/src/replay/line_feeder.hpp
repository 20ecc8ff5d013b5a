#pragma once
// A recording fed to one or many radars (one per spec) from a single reading
// of each line, stopping at checkpoints to take every radar's alerts reply.
// Blocks of the recording come in order, cut anywhere; what happened comes
// out in input order: checkpoints, bad lines and, when watched, crossings.
//
// Each radar ends up exactly as if every line had been sent to it as the
// command recording_line.hpp describes, and each checkpoint's reply is what
// {"cmd":"alerts"} answers at that point.
//
// A block can complete any number of checkpoints (one per line with a
// checkpoint every event), each as large as its replies. So that memory
// does not grow with them, a call stops once the items it gave hold `room`
// bytes of text; the rest of its block waits for resume().

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/replay/checkpoint_clock.hpp"
#include "crates/radar-core/src/replay/event_log.hpp"
#include "crates/radar-core/src/replay/grouped_apply.hpp"
#include "crates/radar-core/src/replay/line_splitter.hpp"
#include "crates/radar-core/src/replay/price_tape.hpp"
#include "crates/radar-core/src/replay/read_line.hpp"
#include "crates/radar-core/src/replay/recording_line.hpp"
#include "crates/radar-core/src/replay/row_events.hpp"
#include "crates/radar-core/src/replay/selection.hpp"
#include "crates/radar-core/src/replay/severity_watch.hpp"
#include "crates/radar-core/src/replay/symbol_states.hpp"
#include "crates/radar-core/src/replay/trial_sweep.hpp"

namespace fenmor::replay {

struct Checkpoint {
  std::uint64_t events;            // accepted events so far
  std::optional<std::int64_t> ts;  // the clock: the largest ts accepted
  std::vector<std::string> replies;  // one alerts reply per radar
  // With peaks watched, one peaks_text per radar: the symbols that alerted
  // since the previous checkpoint. Empty otherwise.
  std::vector<std::string> peaks;
};

struct BadLine {
  std::uint64_t number;
  std::string message;
  std::optional<std::string> field;
};

// Crossings already written as their JSON lines (write_crossing_lines): each
// run of them between other items is one.
struct CrossingLines {
  std::string text;
};

using FeederItem = std::variant<Checkpoint, BadLine, Crossing, CrossingLines>;

// Every radar's current alerts reply (an error reply where it fails).
std::vector<std::string> alerts_of(std::span<RadarHandle> radars);

class LineFeeder {
 public:
  static constexpr std::size_t default_room = std::size_t{4} << 20;

  // `radars` must not be empty. With `strict`, the first bad line stops the
  // feeder: it is reported, and nothing after it is read. `watching` adds
  // each crossing after the event that caused it, and peaks to checkpoints.
  // `room` > 0.
  LineFeeder(std::vector<RadarHandle> radars, CheckpointPolicy policy, bool strict,
             Watching watching = {}, std::size_t room = default_room);

  // The next bytes of the recording; what they complete is appended to `out`.
  // `block` must stay valid until pending() is false. Not while pending().
  void feed(std::string_view block, std::vector<FeederItem>& out);
  // Whether the last call stopped at its room with lines of its block left.
  bool pending() const noexcept { return !lines_.empty() || rows_pending_; }
  // Takes more of the pending lines, up to the room again.
  void resume(std::vector<FeederItem>& out);
  // The end of the input: see LineSplitter::finish for `complete`. Then the
  // final checkpoint, when it shows something new (never after a stop).
  // Not while pending().
  void finish(bool complete, std::vector<FeederItem>& out);

  // Lines read elsewhere (the rows of a columnar recording), numbered on from
  // the lines so far (next_line()), moved in and taken as read lines are, up
  // to the room (the rest then waits for resume()). Only between lines: no
  // text line carried, and not while pending().
  void take(std::vector<ReadLine> lines, std::vector<FeederItem>& out);
  // Whether events may be applied later than they are taken (take_rows):
  // nothing that looks at each event as it is applied is on (watching, a
  // trial sweep, an event log, a price tape).
  bool groupable() const noexcept { return !watching_.any() && !sweep_ && !log_ && !prices_; }
  // The batch for take_rows(), for the caller to fill; its storage is reused
  // from batch to batch. Not while pending().
  RowEvents& next_rows() noexcept { return rows_; }
  // Takes the rows of next_rows() as take() takes read lines, with the same
  // items and the same radars after them, up to the room (the rest waits for
  // resume()). The events between two checkpoints are only counted as they
  // are taken, and applied together when the alerts are next asked for (at
  // a checkpoint, a stop, or the end of the call), on the worker pool
  // (grouped_apply.hpp). Only when groupable(), between lines, and not while
  // pending().
  void take_rows(std::vector<FeederItem>& out);
  // From now on crossings come as CrossingLines, written on the thread that
  // finds them (crossing_line.hpp); `spec_members`: one per radar, what its
  // lines carry before "events".
  void write_crossing_lines(std::vector<std::string> spec_members) {
    crossing_members_ = std::move(spec_members);
  }
  // From now on only the selected events are fed (selection.hpp).
  void select(Selection selection) { selection_ = std::move(selection); }
  // Every accepted event is also scored under the sweep's trials (see
  // trial_sweep.hpp); set before the first event, so that it sees them all.
  void sweep(TrialSweep sweep) { sweep_.emplace(std::move(sweep)); }
  TrialSweep* trial_sweep() noexcept { return sweep_ ? &*sweep_ : nullptr; }
  // From now on each accepted event is kept (event_log.hpp), up to `limit`
  // events: past it the log is dropped (memory grows no further).
  void keep_events(std::size_t limit) {
    log_.emplace();
    log_limit_ = limit;
  }
  // The events kept, all of them since keep_events(); nullptr when none
  // were asked for or the log was dropped.
  const EventLog* kept_events() const noexcept { return log_ ? &*log_ : nullptr; }

  std::uint64_t next_line() const noexcept { return splitter_.lines() + 1; }
  bool between_lines() const noexcept { return !splitter_.pending(); }

  // Every radar's current alerts reply.
  std::vector<std::string> alerts();
  std::size_t radar_count() const noexcept { return radars_.size(); }
  // The factor names of a radar's alerts, severity last.
  const std::vector<std::string>& factor_names(std::size_t radar) const noexcept {
    return radars_[radar].compiled().keys().names();
  }

  // From now on, each accepted event's price is kept (see price_tape.hpp);
  // take_prices hands out what was kept since its last call.
  void keep_prices() {
    if (!prices_) prices_.emplace();
  }
  std::vector<SymbolPrices> take_prices() { return prices_ ? prices_->take() : std::vector<SymbolPrices>{}; }
  // Symbol names by the numbers SymbolPrices carry.
  const std::vector<std::string>& symbol_names() const noexcept { return states_.names(); }

  std::uint64_t lines() const noexcept { return taken_; }
  std::uint64_t events() const noexcept { return clock_.events(); }
  std::uint64_t bad_lines() const noexcept { return bad_lines_; }
  std::uint64_t checkpoints() const noexcept { return checkpoints_; }
  std::uint64_t symbols() const noexcept { return states_.size(); }
  // Accepted events whose ts went back for their symbol, and the line of
  // the first (0 while none did).
  std::uint64_t backwards() const noexcept { return states_.backwards(); }
  std::uint64_t first_backwards() const noexcept { return first_backwards_; }
  std::optional<std::int64_t> ts() const noexcept { return clock_.ts(); }
  bool stopped() const noexcept { return stopped_; }

 private:
  struct Line {
    std::uint64_t number;
    std::string_view text;
  };
  // Keeps the line for this call: a view into `block`, or a copy of text
  // that the splitter is about to reuse (a carried line, the start).
  void collect(std::uint64_t number, std::string_view text, std::string_view block);
  // Reads and takes the collected lines from next_ on, then forgets them;
  // keeps them when the room is full first.
  void take_collected(std::vector<FeederItem>& out);
  // Takes the read lines [next_, end) in order, until the feeder stops or
  // the room is full.
  void take_run(std::size_t end, std::vector<FeederItem>& out);
  // One read line; false once the feeder has stopped or the room is full.
  bool take_line(ReadLine& line, std::vector<FeederItem>& out);
  // The rows of rows_ from row_next_ on, until the feeder stops or the room
  // is full; then applies what was taken.
  void take_row_run(std::vector<FeederItem>& out);
  void apply_stretch();
  void give(FeederItem item, std::vector<FeederItem>& out);
  Checkpoint checkpoint();
  // Evaluates the symbol just fed under every radar; its crossings to `out`.
  void watch(std::uint32_t number, std::uint64_t line, const Event& event,
             std::vector<FeederItem>& out);
  std::vector<std::string> take_peaks();
  void keep(std::uint32_t number, const Event& event);

  std::vector<RadarHandle> radars_;
  CheckpointClock clock_;
  LineSplitter splitter_;
  bool strict_;
  Watching watching_;
  std::vector<std::vector<double>> factors_;  // per radar, reused by every evaluation
  std::optional<std::vector<std::string>> crossing_members_;  // see write_crossing_lines
  bool stopped_ = false;
  std::uint64_t bad_lines_ = 0;
  std::uint64_t checkpoints_ = 0;
  std::uint64_t taken_ = 0;  // the number of the last line taken
  std::uint64_t first_backwards_ = 0;

  std::size_t room_;
  std::size_t given_ = 0;  // bytes of text in the items of this call

  std::vector<Line> lines_;
  std::deque<std::string> copies_;  // texts of lines_ the splitter does not keep
  std::vector<ReadLine> read_;      // the readings of lines_
  std::size_t next_ = 0;            // the first of lines_ not taken yet
  // Per piece of lines_: free, claimed or read. Kept across a stop at the
  // room, so that resume() does not read a piece twice.
  std::vector<std::atomic<std::uint8_t>> pieces_;

  RowEvents rows_;                       // see take_rows
  bool rows_pending_ = false;
  std::size_t row_next_ = 0;             // the first of rows_ not taken yet
  std::size_t refused_next_ = 0;         // the first of rows_.refused_rows not taken yet
  std::vector<std::uint32_t> key_numbers_;  // by key of rows_: the symbol's number, or unknown
  std::vector<StretchEvent> stretch_;    // taken, not yet applied
  GroupedApply grouped_;

  SymbolStates states_;
  Selection selection_;
  std::optional<PriceTape> prices_;
  std::optional<TrialSweep> sweep_;
  std::optional<EventLog> log_;
  std::size_t log_limit_ = 0;
};

}  // namespace fenmor::replay
