#pragma once
// The rows of a batch of events fed to one radar, all or nothing: the first
// row the radar would refuse (row_reader.hpp) is told with its reason and
// nothing is fed, as a "feed_batch" refuses a list with one bad event.

#include <optional>

#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/replay/event_columns.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"

namespace fenmor::replay {

// Rows are numbered from 1 in the fault.
std::optional<BadLine> feed_rows(RadarHandle& radar, const EventColumns& columns);

}  // namespace fenmor::replay
