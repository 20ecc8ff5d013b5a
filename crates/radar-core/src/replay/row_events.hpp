#pragma once
// A batch of a columnar recording read ahead for a feeder that applies the
// events of a stretch later than it takes them: every row's event in a
// compact array, its symbol by key, and the rows that are no event as they
// stand read as their lines are (row_reader.hpp), for the feeder to take in
// order. The symbols' texts are views into the batch's columns, which must
// stay alive while the feeder holds the batch.

#include <cstdint>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/replay/read_line.hpp"

namespace fenmor::replay {

struct RowEvents {
  static constexpr std::uint32_t refused = ~std::uint32_t{0};

  struct Symbol {
    std::string_view text;
    std::uint64_t hash = 0;
  };

  std::uint64_t first_number = 0;     // the line number of row 0
  std::vector<std::uint32_t> keys;    // by row: its symbol's key, or `refused`
  std::vector<Event> events;          // by row, where its key is not `refused`
  std::vector<Symbol> symbols;        // by key
  std::vector<ReadLine> refused_rows; // the refused rows, in row order

  std::size_t rows() const noexcept { return keys.size(); }
};

}  // namespace fenmor::replay
