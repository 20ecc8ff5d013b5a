#include "crates/radar-core/src/replay/column_feeder.hpp"

#include <algorithm>
#include <utility>

#include "crates/radar-core/src/replay/row_reader.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor::replay {

void feed_columns(LineFeeder& feeder, const EventColumns& columns, std::vector<FeederItem>& out) {
  // Every row is read first: the feeder keeps what the room leaves for
  // resume(), and the readings refer only to the batch's own memory. Rows
  // are read independently, and reading one costs about what taking it
  // does, so the pool reads them in pieces.
  constexpr std::size_t piece = 8192;
  const RowReader reader(columns);
  std::vector<ReadLine> lines(columns.rows);
  const std::uint64_t number = feeder.next_line();
  parallel_for((columns.rows + piece - 1) / piece, [&](std::size_t p) {
    WorkingBuffers& buffers = thread_working_buffers();
    const std::size_t last = std::min(columns.rows, (p + 1) * piece);
    for (std::size_t row = p * piece; row < last; ++row) reader.read(row, number + row, buffers, lines[row]);
  });
  feeder.take(std::move(lines), out);
}

}  // namespace fenmor::replay
