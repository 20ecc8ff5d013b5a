#include "crates/radar-core/src/replay/column_feeder.hpp"

#include <algorithm>
#include <utility>

#include "crates/radar-core/src/replay/row_reader.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor::replay {

namespace {

// Rows are read independently, on the pool, in pieces of this many.
constexpr std::size_t piece = 8192;

std::size_t pieces_of(std::size_t rows) { return (rows + piece - 1) / piece; }

// Every row read as a line, for a feeder that applies each event as it takes
// it: the feeder keeps what the room leaves for resume(), and the readings
// refer only to the batch's own memory.
void feed_read_lines(LineFeeder& feeder, const RowReader& reader, std::size_t rows,
                     std::vector<FeederItem>& out) {
  std::vector<ReadLine> lines(rows);
  const std::uint64_t number = feeder.next_line();
  parallel_for(pieces_of(rows), [&](std::size_t p) {
    WorkingBuffers& buffers = thread_working_buffers();
    const std::size_t last = std::min(rows, (p + 1) * piece);
    for (std::size_t row = p * piece; row < last; ++row) reader.read(row, number + row, buffers, lines[row]);
  });
  feeder.take(std::move(lines), out);
}

// Every row's event into the feeder's own batch (its storage reused), and
// the few rows that are no event as they stand read as their lines are.
void feed_row_events(LineFeeder& feeder, const RowReader& reader, std::size_t rows,
                     std::vector<FeederItem>& out) {
  RowEvents& batch = feeder.next_rows();
  batch.first_number = feeder.next_line();
  batch.keys.resize(rows);
  batch.events.resize(rows);
  batch.symbols.resize(reader.symbol_keys());
  for (std::size_t key = 0; key < batch.symbols.size(); ++key) {
    batch.symbols[key] = RowEvents::Symbol{reader.key_symbol(key), reader.key_hash(key)};
  }
  const std::size_t pieces = pieces_of(rows);
  // Refused rows counted per piece, then summed into where each piece's start.
  std::vector<std::size_t> refused(pieces + 1, 0);
  parallel_for(pieces, [&](std::size_t p) {
    const std::size_t last = std::min(rows, (p + 1) * piece);
    for (std::size_t row = p * piece; row < last; ++row) {
      if (const auto event = reader.event(row)) {
        batch.events[row] = *event;
        batch.keys[row] = static_cast<std::uint32_t>(reader.symbol_key(row));
      } else {
        batch.keys[row] = RowEvents::refused;
        ++refused[p + 1];
      }
    }
  });
  for (std::size_t p = 0; p < pieces; ++p) refused[p + 1] += refused[p];
  // Read in place: a reading may refer to its own ReadLine's text.
  batch.refused_rows.clear();
  batch.refused_rows.resize(refused[pieces]);
  if (refused[pieces] != 0) {
    parallel_for(pieces, [&](std::size_t p) {
      WorkingBuffers& buffers = thread_working_buffers();
      const std::size_t last = std::min(rows, (p + 1) * piece);
      std::size_t at = refused[p];
      for (std::size_t row = p * piece; row < last; ++row) {
        if (batch.keys[row] != RowEvents::refused) continue;
        reader.read(row, batch.first_number + row, buffers, batch.refused_rows[at++]);
      }
    });
  }
  feeder.take_rows(out);
}

}  // namespace

void feed_columns(LineFeeder& feeder, const EventColumns& columns, std::vector<FeederItem>& out) {
  const RowReader reader(columns);
  if (feeder.groupable()) {
    feed_row_events(feeder, reader, columns.rows, out);
  } else {
    feed_read_lines(feeder, reader, columns.rows, out);
  }
}

}  // namespace fenmor::replay
