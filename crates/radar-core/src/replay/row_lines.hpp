#pragma once
// A columnar recording written back as recording lines: every row that is an
// event becomes the line the converter writes for it (numbers in their
// shortest round-trip digits, so the line reads back to the same doubles);
// every other row is left out and reported as its line would be.

#include <cstdint>
#include <string>
#include <vector>

#include "crates/radar-core/src/replay/event_columns.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"

namespace fenmor::replay {

// Rows are numbered from `first_number`; each line ends with "\n".
void append_row_lines(const EventColumns& columns, std::uint64_t first_number, std::string& out,
                      std::vector<BadLine>& bad);

}  // namespace fenmor::replay
