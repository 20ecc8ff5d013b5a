#pragma once
// A batch of a columnar recording fed to a line feeder's radars: each row
// read as row_reader.hpp says and taken in order exactly as a line, so that
// checkpoints, bad rows and the alerts are those of the same events replayed
// from JSON lines. Rows are numbered on from the feeder's lines; as many are
// taken as the feeder's room allows, the rest wait for its resume().
//
// A feeder that may apply events later than it takes them (groupable())
// gets each row's event straight from the columns (take_rows); any other
// gets each row as a read line (take).

#include <vector>

#include "crates/radar-core/src/replay/event_columns.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"

namespace fenmor::replay {

void feed_columns(LineFeeder& feeder, const EventColumns& columns, std::vector<FeederItem>& out);

}  // namespace fenmor::replay
