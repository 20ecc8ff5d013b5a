#pragma once
// A crossing as the one JSON line the command line prints for it:
// {"crossing":"up",["spec":NAME,]"events":N, then the alert's members}.
// The Python Crossing.json_line writes the same line for a crossing object;
// this one serves a replay that prints its crossings and nothing else reads
// them, so that thousands of them a second need no Python object each.

#include <span>
#include <string>
#include <string_view>

#include "crates/radar-core/src/replay/severity_watch.hpp"

namespace fenmor::replay {

// Appends the line, "\n" included. `spec_member` is written as it is before
// "events": empty, or `"spec":NAME,` with NAME already JSON text.
void append_crossing_line(std::string& out, const Crossing& crossing, std::string_view spec_member,
                          std::span<const std::string> factor_names);

}  // namespace fenmor::replay
