#pragma once
// Recording lines made into columns, the other way of row_lines.hpp: each
// line the radar accepts becomes a row (symbol, kind, ts, the numbers of its
// kind, side), each line it refuses is left out and reported as a replay
// reports it. The columns are laid out as Arrow lays them out, ready to be
// handed over as buffers: values, validity bitmaps (bit set: not null),
// dictionary indices.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "crates/radar-core/src/event_schema.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"

namespace fenmor::replay {

struct LineColumns {
  std::size_t rows = 0;
  // The symbol: an index into the dictionary of the symbols in the order they came.
  std::vector<std::int32_t> symbol;
  std::vector<std::int32_t> symbol_offsets{0};
  std::string symbol_data;
  // The kind: its VariantId, an index into event_schema::tag_names.
  std::vector<std::int8_t> kind;
  std::vector<std::int64_t> ts;
  // Indexed by event_schema::Name; only float fields' entries are filled.
  std::array<std::vector<double>, event_schema::name_count> numbers;
  std::array<std::vector<std::uint8_t>, event_schema::name_count> present;
  // The side: an index into event_schema::side_names, with its bitmap.
  std::vector<std::int8_t> side;
  std::vector<std::uint8_t> side_present;
  std::vector<BadLine> bad;
};

class LineColumnsWriter {
 public:
  // The lines of `text` (the last needs no line break; blank lines count),
  // numbered from `first_number`, appended as rows.
  void append(std::string_view text, std::uint64_t first_number);
  // What was appended since the last take; starts afresh.
  LineColumns take();

 private:
  void add_row(std::string_view symbol, const Event& event);
  LineColumns columns_;
  std::unordered_map<std::string, std::int32_t> symbols_;
};

}  // namespace fenmor::replay
