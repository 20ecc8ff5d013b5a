#include "crates/radar-core/src/convert/derivatives_state.hpp"

namespace fenmor::convert {

bool update_derivatives(LatestDerivatives& latest, const std::array<double, 3>& values,
                        const std::array<bool, 3>& given) noexcept {
  bool changed = false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (given[i] && (!latest.known[i] || values[i] != latest.values[i])) {
      latest.values[i] = values[i];
      latest.known[i] = true;
      changed = true;
    }
  }
  return changed && latest.known[0] && latest.known[1] && latest.known[2];
}

}  // namespace fenmor::convert
