#include "crates/radar-core/src/protocol/scan_commands.hpp"

#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/scan.hpp"

namespace fenmor {

std::expected<void, RadarError> run_alerts(const RadarSpec& spec, const Dataset& dataset,
                                           std::string& out) {
  // A stored spec has always passed validate(); checking again keeps the
  // command sound even if that ever stopped being true.
  if (auto valid = validate(spec); !valid) return std::unexpected(std::move(valid).error());
  write_alerts_reply(out, scan_dataset(spec, dataset));
  return {};
}

std::expected<void, RadarError> run_scan(const RadarSpec& spec, const SymbolEvents& events,
                                         std::string& out) {
  if (auto valid = validate(spec); !valid) return std::unexpected(std::move(valid).error());
  write_alerts_reply(out, scan_events(spec, events));
  return {};
}

}  // namespace fenmor
