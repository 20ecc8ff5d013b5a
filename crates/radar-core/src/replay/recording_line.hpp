#pragma once
// Reading one line of a recording (`{"symbol": ..., "event": ...}`) into the
// "feed" it stands for, or the fault to report, exactly as a radar judges the
// line made into a command: the object with `"cmd":"feed"` added as its last
// member (so a "cmd" of the line's own never counts). Nothing here touches a
// radar: the same reading serves every radar fed from the line, and a reader
// that only looks for symbols, ts and bad lines.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "crates/radar-core/src/protocol/decoded_command.hpp"
#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/radar_error.hpp"

namespace fenmor::replay {

// Empty, or only spaces, tabs and CRs: skipped, neither fed nor bad.
struct BlankLine {};

struct LineFault {
  std::string message;               // what a radar answers for the line, prefix included
  std::optional<std::string> field;  // the member at fault ("event.ts"), when known
};

using LineReading = std::variant<BlankLine, FeedCommand, LineFault>;

// The text excludes the line break. A FeedCommand's symbol points into the
// text or into `buffers`: valid until the next reading.
LineReading read_recording_line(std::string_view text, WorkingBuffers& buffers);

// The member of the line that `error` is about, when the error says so.
std::optional<std::string> fault_field(const RadarError& error);

}  // namespace fenmor::replay
