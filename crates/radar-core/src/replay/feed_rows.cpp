#include "crates/radar-core/src/replay/feed_rows.hpp"

#include <utility>
#include <variant>
#include <vector>

#include "crates/radar-core/src/replay/row_reader.hpp"

namespace fenmor::replay {

std::optional<BadLine> feed_rows(RadarHandle& radar, const EventColumns& columns) {
  const RowReader reader(columns);
  for (std::size_t row = 0; row < columns.rows; ++row) {
    if (reader.event(row)) continue;
    ReadLine line;
    reader.read(row, row + 1, thread_working_buffers(), line);
    if (auto* fault = std::get_if<LineFault>(&line.reading)) {
      return BadLine{row + 1, std::move(fault->message), std::move(fault->field)};
    }
  }
  // Each symbol's state is found once per batch; states never move while
  // the radar is only fed.
  std::vector<SymbolState*> states(columns.symbol.keys(), nullptr);
  for (std::size_t row = 0; row < columns.rows; ++row) {
    SymbolState*& state = states[reader.symbol_key(row)];
    if (state == nullptr) state = &radar.state_of(reader.symbol(row));
    state->apply(*reader.event(row));
  }
  return std::nullopt;
}

}  // namespace fenmor::replay
