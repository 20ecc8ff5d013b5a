#include "crates/radar-core/src/protocol/decoded_command.hpp"

#include <string>
#include <utility>

#include "crates/radar-core/src/event_decode.hpp"
#include "crates/radar-core/src/protocol/command_members.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor {

namespace {

using Decoded = std::expected<DecodedCommand, RadarError>;

Decoded decode_feed_batch(const json::Node& command, WorkingBuffers& buffers) {
  auto symbol = required_string(command, "symbol");
  if (!symbol) return std::unexpected(std::move(symbol).error());
  auto node = required_member(command, "events");
  if (!node) return std::unexpected(std::move(node).error());
  // The whole list decodes before the first event is applied: one bad event
  // leaves the dataset untouched.
  auto events = decode_event_list(**node);
  if (!events) return std::unexpected(std::move(events).error().in_member("events"));
  buffers.events = std::move(*events);
  return FeedBatchCommand{*symbol, &buffers.events};
}

Decoded decode_scan(const json::Node& command, WorkingBuffers& buffers) {
  auto node = required_member(command, "events");
  if (!node) return std::unexpected(std::move(node).error());
  auto events = decode_symbol_events(**node);
  if (!events) return std::unexpected(std::move(events).error().in_member("events"));
  buffers.symbol_events = std::move(*events);
  return ScanCommand{&buffers.symbol_events};
}

Decoded decode_set_spec(const json::Node& command) {
  auto node = required_member(command, "spec");
  if (!node) return std::unexpected(std::move(node).error());
  auto spec = decode_spec_document(**node);
  if (!spec) return std::unexpected(std::move(spec).error());
  auto compiled = CompiledSpec::compile(std::move(*spec));
  if (!compiled) return std::unexpected(std::move(compiled).error());
  return SetSpecCommand{std::move(*compiled)};
}

}  // namespace

std::expected<FeedCommand, RadarError> decode_feed(const json::Node& command) {
  auto symbol = required_string(command, "symbol");
  if (!symbol) return std::unexpected(std::move(symbol).error());
  auto node = required_member(command, "event");
  if (!node) return std::unexpected(std::move(node).error());
  auto event = decode_event(**node);
  if (!event) return std::unexpected(std::move(event).error().in_member("event"));
  return FeedCommand{*symbol, *event};
}

Decoded decode_command(std::string_view text, WorkingBuffers& buffers) {
  // The common commands in their common form are read straight from the
  // text; the document route answers everything else, faults included.
  QuickReader& quick = buffers.quick;
  if (const std::optional<QuickCommand> command = quick.read(text)) {
    switch (command->name) {
      case QuickCommand::Name::Feed:
        return FeedCommand{command->symbol, quick.event()};
      case QuickCommand::Name::FeedBatch:
        return FeedBatchCommand{command->symbol, &quick.events()};
      case QuickCommand::Name::Scan:
        return ScanCommand{&quick.symbol_events()};
    }
  }
  return decode_command_document(text, buffers);
}

Decoded decode_command_document(std::string_view text, WorkingBuffers& buffers) {
  auto root = json::parse_document(text, buffers.document);
  if (!root) return std::unexpected(RadarError::parse(root.error().describe()));
  const json::Node& command = **root;

  // find() answers nullptr for anything but an object, so a top-level array
  // or scalar reports the missing command like an object without one.
  const json::Node* cmd = command.find("cmd");
  if (cmd == nullptr || cmd->kind() != json::NodeKind::String) {
    return std::unexpected(RadarError::bad_spec(R"(missing "cmd")"));
  }
  const std::string_view name = cmd->string();
  if (name == "feed") {
    auto feed = decode_feed(command);
    if (!feed) return std::unexpected(std::move(feed).error());
    return *feed;
  }
  if (name == "feed_batch") return decode_feed_batch(command, buffers);
  if (name == "alerts") return AlertsCommand{};
  if (name == "scan") return decode_scan(command, buffers);
  if (name == "version") return VersionCommand{};
  if (name == "reset") return ResetCommand{};
  if (name == "set_spec") return decode_set_spec(command);
  // The name goes into the message as it is; the error reply escapes it.
  std::string message = "unknown cmd: ";
  message.append(name);
  return std::unexpected(RadarError::bad_spec(std::move(message)));
}

}  // namespace fenmor
