#include "crates/radar-core/src/protocol/scan_commands.hpp"

#include "crates/radar-core/src/protocol/command_members.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/event_decode.hpp"
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

std::expected<void, RadarError> run_scan(const RadarSpec& spec, const json::Node& command,
                                         std::string& out) {
  auto events_node = required_member(command, "events");
  if (!events_node) return std::unexpected(std::move(events_node).error());
  // The events are decoded before the spec is checked: a bad request reports
  // its own fault first.
  auto events = decode_symbol_events(**events_node);
  if (!events) return std::unexpected(std::move(events).error());
  return run_scan(spec, *events, out);
}

std::expected<void, RadarError> run_scan(const RadarSpec& spec, const SymbolEvents& events,
                                         std::string& out) {
  if (auto valid = validate(spec); !valid) return std::unexpected(std::move(valid).error());
  write_alerts_reply(out, scan_events(spec, events));
  return {};
}

}  // namespace fenmor
