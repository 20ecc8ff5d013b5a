#include "crates/radar-core/src/replay/column_feeder.hpp"

#include <utility>

#include "crates/radar-core/src/replay/row_reader.hpp"

namespace fenmor::replay {

void feed_columns(LineFeeder& feeder, const EventColumns& columns, std::vector<FeederItem>& out) {
  // Every row is read first: the feeder keeps what the room leaves for
  // resume(), and the readings refer only to the batch's own memory.
  const RowReader reader(columns);
  WorkingBuffers& buffers = thread_working_buffers();
  std::vector<ReadLine> lines(columns.rows);
  const std::uint64_t number = feeder.next_line();
  for (std::size_t row = 0; row < columns.rows; ++row) reader.read(row, number + row, buffers, lines[row]);
  feeder.take(std::move(lines), out);
}

}  // namespace fenmor::replay
