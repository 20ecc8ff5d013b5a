#include "crates/radar-core/src/protocol/scan_commands.hpp"

#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/scan.hpp"

namespace fenmor {

std::expected<void, RadarError> run_alerts(const CompiledSpec& spec, const Dataset& dataset,
                                           std::string& out) {
  write_alerts_reply(out, scan_dataset(spec, dataset));
  return {};
}

std::expected<void, RadarError> run_scan(const CompiledSpec& spec, const SymbolEvents& events,
                                         std::string& out) {
  write_alerts_reply(out, scan_events(spec, events));
  return {};
}

}  // namespace fenmor
