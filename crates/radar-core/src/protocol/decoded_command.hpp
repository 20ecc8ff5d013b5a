#pragma once
// A command decoded, before it changes anything: one of the seven commands
// with everything it needs already read and checked. Both routes of reading a
// command (the quick route and the document) produce one, and apply() in
// radar_handle.hpp carries it out. Decoding reports every fault of the text;
// carrying out a decoded command cannot fail half-way, so a failing command
// never leaves a change behind.
//
// The views and pointers refer to the command's text or to the thread's
// working buffers (working_buffers.hpp): a decoded command is used at once.

#include <expected>
#include <string_view>
#include <variant>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/radar_error.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "json/document.hpp"

namespace fenmor {

struct FeedCommand {
  std::string_view symbol;
  Event event;
};

struct FeedBatchCommand {
  std::string_view symbol;
  const EventList* events;
};

struct AlertsCommand {};

struct ScanCommand {
  const SymbolEvents* symbol_events;
};

struct VersionCommand {};

struct ResetCommand {};

struct SetSpecCommand {
  CompiledSpec spec;
};

using DecodedCommand = std::variant<FeedCommand, FeedBatchCommand, AlertsCommand, ScanCommand,
                                    VersionCommand, ResetCommand, SetSpecCommand>;

// The command of `text`: by the quick route when it recognises the text,
// else by the document route, which judges every fault.
std::expected<DecodedCommand, RadarError> decode_command(std::string_view text,
                                                         WorkingBuffers& buffers);

// The document route alone.
std::expected<DecodedCommand, RadarError> decode_command_document(std::string_view text,
                                                                  WorkingBuffers& buffers);

// The members of a "feed" command object, whatever its "cmd" says.
std::expected<FeedCommand, RadarError> decode_feed(const json::Node& command);

}  // namespace fenmor
