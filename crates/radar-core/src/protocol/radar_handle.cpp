#include "crates/radar-core/src/protocol/radar_handle.hpp"

#include <cstddef>
#include <string>
#include <utility>

#include "crates/radar-core/src/protocol/command_members.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/protocol/scan_commands.hpp"
#include "crates/radar-core/src/event_decode.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor {

namespace {

// The document's arena and the reply buffer are kept from command to command
// so that steady traffic stops allocating; after an unusually large command or
// reply they are let go rather than held for the radar's whole life. A batch
// of ten thousand events is about a megabyte of text: not unusual, and
// reading it into fresh memory every time costs a page fault per 4 KiB.
constexpr std::size_t kept_text_size = std::size_t{4} << 20;
// An alerts reply of ten thousand symbols is a few megabytes.
constexpr std::size_t kept_reply_capacity = std::size_t{8} << 20;

}  // namespace

RadarHandle::RadarHandle(CompiledSpec spec) : spec_(std::move(spec)) {}

std::string_view RadarHandle::command(std::string_view text) {
  // Swapped, not assigned: assigning an empty string keeps the capacity.
  if (reply_.capacity() > kept_reply_capacity) std::string().swap(reply_);
  reply_.clear();
  // The common commands in their common form are read straight from the
  // text; the document route answers everything else, faults included.
  const std::optional<QuickCommand> quick = quick_.read(text);
  Outcome outcome = quick ? apply_quick(*quick) : dispatch(text);
  if (!outcome) {
    reply_.clear();
    write_error_reply(reply_, outcome.error());
  }
  // No reply points into the document: errors carry their own text, and the
  // alerts reply is written into reply_.
  if (text.size() > kept_text_size) {
    json::Document empty;  // swapped out, so that its buffers go with `empty`
    std::swap(document_, empty);
    quick_.release();
  }
  return outcome ? *outcome : std::string_view(reply_);
}

RadarHandle::Outcome RadarHandle::apply_quick(const QuickCommand& command) {
  switch (command.name) {
    case QuickCommand::Name::Feed:
      dataset_.feed(command.symbol, quick_.event(), spec_.window());
      return ok_reply;
    case QuickCommand::Name::FeedBatch:
      dataset_.feed_all(command.symbol, quick_.events(), spec_.window());
      return ok_reply;
    case QuickCommand::Name::Scan:
      break;
  }
  if (auto done = run_scan(spec_, quick_.symbol_events(), reply_); !done) {
    return std::unexpected(std::move(done).error());
  }
  return reply_;
}

// Every lookup, decoding and validation of a command comes before its first
// change to spec or dataset, and the changes themselves cannot fail: a
// command either completes or leaves the handle as it was.
RadarHandle::Outcome RadarHandle::dispatch(std::string_view text) {
  auto root = json::parse_document(text, document_);
  if (!root) return std::unexpected(RadarError::parse(root.error().describe()));
  const json::Node& command = **root;

  // find() answers nullptr for anything but an object, so a top-level array
  // or scalar reports the missing command like an object without one.
  const json::Node* cmd = command.find("cmd");
  if (cmd == nullptr || cmd->kind() != json::NodeKind::String) {
    return std::unexpected(RadarError::bad_spec(R"(missing "cmd")"));
  }
  const std::string_view name = cmd->string();
  if (name == "feed") return feed(command);
  if (name == "feed_batch") return feed_batch(command);
  if (name == "alerts") return alerts();
  if (name == "scan") return scan(command);
  if (name == "version") return version_reply;
  if (name == "reset") {
    dataset_.clear();
    return ok_reply;
  }
  if (name == "set_spec") return set_spec(command);
  // The name goes into the message as it is; the error reply escapes it.
  std::string message = "unknown cmd: ";
  message.append(name);
  return std::unexpected(RadarError::bad_spec(std::move(message)));
}

RadarHandle::Outcome RadarHandle::set_spec(const json::Node& command) {
  auto node = required_member(command, "spec");
  if (!node) return std::unexpected(std::move(node).error());
  auto spec = decode_spec_document(**node);
  if (!spec) return std::unexpected(std::move(spec).error());
  auto compiled = CompiledSpec::compile(std::move(*spec));
  if (!compiled) return std::unexpected(std::move(compiled).error());
  spec_ = std::move(*compiled);
  dataset_.clear();
  return ok_reply;
}

RadarHandle::Outcome RadarHandle::feed(const json::Node& command) {
  auto symbol = required_string(command, "symbol");
  if (!symbol) return std::unexpected(std::move(symbol).error());
  auto node = required_member(command, "event");
  if (!node) return std::unexpected(std::move(node).error());
  auto event = decode_event(**node);
  if (!event) return std::unexpected(std::move(event).error().in_member("event"));
  dataset_.feed(*symbol, *event, spec_.window());
  return ok_reply;
}

RadarHandle::Outcome RadarHandle::feed_batch(const json::Node& command) {
  auto symbol = required_string(command, "symbol");
  if (!symbol) return std::unexpected(std::move(symbol).error());
  auto node = required_member(command, "events");
  if (!node) return std::unexpected(std::move(node).error());
  // The whole list decodes before the first event is applied: one bad event
  // leaves the dataset untouched.
  auto events = decode_event_list(**node);
  if (!events) return std::unexpected(std::move(events).error().in_member("events"));
  dataset_.feed_all(*symbol, *events, spec_.window());
  return ok_reply;
}

RadarHandle::Outcome RadarHandle::alerts() {
  if (auto done = run_alerts(spec_, dataset_, reply_); !done) {
    return std::unexpected(std::move(done).error());
  }
  return reply_;
}

RadarHandle::Outcome RadarHandle::scan(const json::Node& command) {
  if (auto done = run_scan(spec_, command, reply_); !done) {
    return std::unexpected(std::move(done).error());
  }
  return reply_;
}

}  // namespace fenmor
