#pragma once
// Which events a replay asks for: some symbols, and ts from a first value
// (included) to a last (excluded). Events outside are skipped as blank lines
// are: neither fed nor counted, so the clock and the checkpoints are those of
// a recording that held only the selected events. A line the radar refuses
// is still reported: whether it would have been selected cannot be known.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fenmor::replay {

struct Selection {
  std::optional<std::vector<std::string>> symbols;  // sorted, when set
  std::optional<std::int64_t> from_ts;
  std::optional<std::int64_t> to_ts;

  bool everything() const noexcept { return !symbols && !from_ts && !to_ts; }

  bool admits(std::string_view symbol, std::int64_t ts) const noexcept {
    if (from_ts && ts < *from_ts) return false;
    if (to_ts && ts >= *to_ts) return false;
    return !symbols || std::binary_search(symbols->begin(), symbols->end(), symbol,
                                          [](std::string_view a, std::string_view b) { return a < b; });
  }
};

}  // namespace fenmor::replay
