#pragma once
// What a compiled spec means to the people who write one, from the engine's
// own rules: each signal's key (its factor name), the samples it reads, the
// most it can give, and the largest severity any symbol can reach. Tools
// (a spec check, a report) ask for it instead of re-deriving the rules.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/event_schema.hpp"

namespace fenmor {

struct SignalDescription {
  std::string_view key;                 // the factor name, held by the compiled spec
  std::optional<std::uint64_t> lookback;  // whole samples; none for a kind without one
  event_schema::VariantId source;       // the events it reads
  std::uint64_t samples;                // how many of them it needs (0: it is always 0)
  double reach;                         // the largest value it can give
};

struct SpecDescription {
  std::vector<SignalDescription> signals;  // in spec order
  double largest_severity;
};

SpecDescription describe(const CompiledSpec& spec);

}  // namespace fenmor
