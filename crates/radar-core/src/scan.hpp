#pragma once
// Scanning: evaluate candidates, keep those at or above the threshold, rank
// them (severity descending, then symbol byte-wise) and cut to the limit.

#include <cstdint>
#include <string>
#include <vector>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/symbol_state/dataset.hpp"

namespace fenmor {

struct Alert {
  std::string symbol;
  double severity = 0;
  std::vector<double> factors;  // aligned with ScanResult::factor_names
  std::int64_t ts = 0;
};

struct ScanResult {
  std::vector<std::string> factor_names;  // ascending, "severity" last
  std::vector<Alert> alerts;              // rank order
  std::uint64_t scanned = 0;
};

ScanResult scan_dataset(const CompiledSpec& spec, const Dataset& dataset);
// Builds each symbol's state on the worker pool; the result equals a
// sequential run.
ScanResult scan_events(const CompiledSpec& spec, const SymbolEvents& events);

}  // namespace fenmor
