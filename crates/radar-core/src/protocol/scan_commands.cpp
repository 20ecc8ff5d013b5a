#include "crates/radar-core/src/protocol/scan_commands.hpp"

#include "crates/radar-core/src/protocol/command_members.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/event_decode.hpp"
#include "crates/radar-core/src/scan.hpp"

namespace fenmor {

std::expected<void, RadarError> run_alerts(const CompiledSpec& spec, const Dataset& dataset,
                                           std::string& out) {
  write_alerts_reply(out, scan_dataset(spec, dataset));
  return {};
}

std::expected<void, RadarError> run_scan(const CompiledSpec& spec, const json::Node& command,
                                         std::string& out) {
  auto events_node = required_member(command, "events");
  if (!events_node) return std::unexpected(std::move(events_node).error());
  auto events = decode_symbol_events(**events_node);
  if (!events) return std::unexpected(std::move(events).error().in_member("events"));
  return run_scan(spec, *events, out);
}

std::expected<void, RadarError> run_scan(const CompiledSpec& spec, const SymbolEvents& events,
                                         std::string& out) {
  write_alerts_reply(out, scan_events(spec, events));
  return {};
}

}  // namespace fenmor
