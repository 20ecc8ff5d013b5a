#include "crates/radar-core/src/compiled_spec.hpp"

#include <utility>

#include "crates/radar-core/src/symbol_state/symbol_state.hpp"

namespace fenmor {

std::expected<CompiledSpec, RadarError> CompiledSpec::compile(RadarSpec spec) {
  auto keys = validate(spec);
  if (!keys) return std::unexpected(std::move(keys).error());
  const std::uint64_t window = state_window(spec.signals);
  return CompiledSpec(std::move(spec), FactorKeys(std::move(*keys)), window);
}

}  // namespace fenmor
