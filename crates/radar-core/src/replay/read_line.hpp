#pragma once
// A line of a recording read ahead of the radars, possibly on another thread
// than the one that feeds them: the reading owns whatever it refers to that
// the reading thread's working buffers would reuse.

#include <cstdint>
#include <string>
#include <string_view>

#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/replay/recording_line.hpp"

namespace fenmor::replay {

struct ReadLine {
  std::uint64_t number = 0;
  LineReading reading;
  std::string symbol;  // a symbol that is not a piece of the line's text (it had escapes)
  std::uint64_t hash = 0;  // symbol_hash of a feed's symbol
  std::uint32_t state = ~std::uint32_t{0};  // the symbol's number when known (SymbolStates)
};

// Reads `text` into `line` (reusing its storage). The reading may refer to
// `text`, which must outlive it, but not to `buffers`.
void read_line(std::uint64_t number, std::string_view text, WorkingBuffers& buffers,
               ReadLine& line);

}  // namespace fenmor::replay
