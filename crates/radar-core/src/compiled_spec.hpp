#pragma once
// A spec as the engine runs it, built once when a spec is set (constructor,
// "set_spec"): validated, its signal keys formatted, its factor names ordered
// and its state window computed. Feeds and scans only read it, so nothing is
// validated or formatted again per command.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/radar_error.hpp"
#include "crates/radar-core/src/spec.hpp"

namespace fenmor {

class CompiledSpec {
 public:
  // validate()'s first failing check, as a BadSpec error.
  static std::expected<CompiledSpec, RadarError> compile(RadarSpec spec);

  const RadarSpec& spec() const noexcept { return spec_; }
  std::span<const Signal> signals() const noexcept { return spec_.signals; }
  double threshold() const noexcept { return spec_.threshold; }
  const std::optional<std::uint64_t>& limit() const noexcept { return spec_.limit; }
  const FactorKeys& keys() const noexcept { return keys_; }
  // The rows each symbol's state keeps (state_window of the signals).
  std::uint64_t window() const noexcept { return window_; }

 private:
  CompiledSpec(RadarSpec spec, FactorKeys keys, std::uint64_t window)
      : spec_(std::move(spec)), keys_(std::move(keys)), window_(window) {}

  RadarSpec spec_;
  FactorKeys keys_;
  std::uint64_t window_;
};

}  // namespace fenmor
