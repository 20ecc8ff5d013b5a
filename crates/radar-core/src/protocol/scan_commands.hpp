#pragma once
// "alerts" and "scan": the two commands that answer with ranked alerts.
// Neither changes the handle.

#include <expected>
#include <string>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/radar_error.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/symbol_state/dataset.hpp"

namespace fenmor {

// Scans the stored states; on success the alerts reply is written to `out`.
std::expected<void, RadarError> run_alerts(const CompiledSpec& spec, const Dataset& dataset,
                                           std::string& out);

// Scans the per-symbol event lists of a "scan" command on the worker pool;
// on success the alerts reply is written to `out`.
std::expected<void, RadarError> run_scan(const CompiledSpec& spec, const SymbolEvents& events,
                                         std::string& out);

}  // namespace fenmor
