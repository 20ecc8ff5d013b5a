#include "crates/radar-core/src/replay/column_feeder.hpp"

#include <algorithm>
#include <span>

#include "crates/radar-core/src/replay/row_reader.hpp"

namespace fenmor::replay {

void feed_columns(LineFeeder& feeder, const EventColumns& columns, std::vector<FeederItem>& out) {
  // Rows are read a piece at a time so that the readings stay in the cache
  // between reading and taking, whatever the size of the batch.
  constexpr std::size_t piece = 1024;
  const RowReader reader(columns);
  WorkingBuffers& buffers = thread_working_buffers();
  std::vector<ReadLine> lines(std::min(piece, columns.rows));
  for (std::size_t first = 0; first < columns.rows && !feeder.stopped(); first += piece) {
    const std::size_t count = std::min(piece, columns.rows - first);
    const std::uint64_t number = feeder.next_line();
    for (std::size_t i = 0; i < count; ++i) reader.read(first + i, number + i, buffers, lines[i]);
    feeder.take(std::span(lines).first(count), out);
  }
}

}  // namespace fenmor::replay
