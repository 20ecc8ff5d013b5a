#pragma once
// A line of a recording read ahead of the radars, possibly on another thread
// than the one that feeds them: the reading owns whatever it refers to that
// the reading thread's working buffers would reuse.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/replay/recording_line.hpp"
#include "crates/radar-core/src/replay/symbol_states.hpp"

namespace fenmor::replay {

struct ReadLine {
  std::uint64_t number = 0;
  LineReading reading;
  std::string symbol;  // a symbol that is not a piece of the line's text (it had escapes)
  std::uint64_t hash = 0;  // symbol_hash of a feed's symbol
  std::uint32_t state = SymbolStates::unknown;  // the symbol's number when known
};

// Whether `inner` is a piece of `outer` (and not of memory someone reuses).
inline bool lies_within(std::string_view inner, std::string_view outer) noexcept {
  const std::less_equal<const char*> not_after;  // pointers into different arrays compare too
  return not_after(outer.data(), inner.data()) &&
         not_after(inner.data() + inner.size(), outer.data() + outer.size());
}

// Reads `text` into `line` (reusing its storage). The reading may refer to
// `text`, which must outlive it, but not to `buffers`.
void read_line(std::uint64_t number, std::string_view text, WorkingBuffers& buffers,
               ReadLine& line);

}  // namespace fenmor::replay
