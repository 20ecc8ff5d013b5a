#include "crates/radar-core/src/replay/part_scanner.hpp"

#include <utility>
#include <variant>

#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/replay/checkpoint_clock.hpp"
#include "crates/radar-core/src/replay/recording_line.hpp"

namespace fenmor::replay {

void PartScanner::feed(std::string_view block, PartFindings& out) {
  splitter_.split(block, [&](std::uint64_t number, std::string_view text) {
    take_line(number, text, out);
    return true;
  });
}

void PartScanner::finish(bool complete, PartFindings& out) {
  splitter_.finish(complete, [&](std::uint64_t number, std::string_view text) {
    take_line(number, text, out);
    return true;
  });
}

void PartScanner::take_line(std::uint64_t number, std::string_view text, PartFindings& out) {
  LineReading reading = read_recording_line(text, thread_working_buffers());
  if (const auto* feed = std::get_if<FeedCommand>(&reading)) {
    const std::int64_t ts = event_ts(feed->event);
    if (!max_ts_ || ts > *max_ts_) {
      if (every_ts_ && (!max_ts_ || ts_period(ts, *every_ts_) > ts_period(*max_ts_, *every_ts_))) {
        out.records.push_back(PartRecord{events_, ts});
      }
      max_ts_ = ts;
    }
    ++events_;
  } else if (auto* fault = std::get_if<LineFault>(&reading)) {
    out.bad.push_back(PartBadLine{number, std::move(fault->message), std::move(fault->field)});
  } else {
    out.blank.push_back(number);
  }
}

}  // namespace fenmor::replay
