#include "crates/radar-core/src/replay/read_line.hpp"

#include "crates/radar-core/src/replay/symbol_route.hpp"

namespace fenmor::replay {

void read_line(std::uint64_t number, std::string_view text, WorkingBuffers& buffers,
               ReadLine& line) {
  line.number = number;
  line.state = SymbolStates::unknown;
  line.reading = read_recording_line(text, buffers);
  if (auto* feed = std::get_if<FeedCommand>(&line.reading)) {
    // The quick route leaves the symbol in the text; the document route
    // unescapes it into the thread's document, which the next line reuses.
    if (!lies_within(feed->symbol, text)) {
      line.symbol.assign(feed->symbol);
      feed->symbol = line.symbol;
    }
    line.hash = symbol_hash(feed->symbol);
  }
}

}  // namespace fenmor::replay
