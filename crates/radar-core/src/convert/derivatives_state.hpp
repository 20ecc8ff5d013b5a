#pragma once
// Derivatives events out of ticker rows that report open interest, funding
// rate and mark price separately: the latest of each per symbol, and an event
// whenever a row changes one of them while all three are known.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace fenmor::convert {

struct LatestDerivatives {
  std::array<double, 3> values{};  // open_interest, funding_rate, mark_price
  std::array<bool, 3> known{};
};

// Applies an update (values not `given` are unchanged) to `latest`; true
// when an event is due, its values then in `latest.values`.
bool update_derivatives(LatestDerivatives& latest, const std::array<double, 3>& values,
                        const std::array<bool, 3>& given) noexcept;

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// Per raw symbol, as the source names it.
using DerivativesBySymbol =
    std::unordered_map<std::string, LatestDerivatives, StringHash, std::equal_to<>>;

}  // namespace fenmor::convert
