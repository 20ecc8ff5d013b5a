#pragma once
// "feed", "feed_batch" and "scan" read straight from their text, without a
// document: the commands of steady traffic, in the form they normally come.
//
// A command whose members hold only what these commands read (plus scalar
// members that nothing reads), with events in the common form of
// event_text.hpp and no escape in any name or string, is recognised;
// anything else, and every fault, is left to
// the document route, which answers it exactly as it always does. A
// recognised command therefore always means what the document route would
// decode from the same text: same command, symbol and events, the last of
// repeated members winning, symbols of a scan in byte order, each once.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crates/radar-core/src/event.hpp"

namespace fenmor {

struct QuickCommand {
  enum class Name : std::uint8_t { Feed, FeedBatch, Scan };
  Name name;
  std::string_view symbol;  // "feed", "feed_batch": a view into the text
};

class QuickReader {
 public:
  std::optional<QuickCommand> read(std::string_view text);

  // An object read as a "feed" command whatever its own "cmd" member says
  // (a recorded line, to which "feed" is added last): its symbol, with the
  // event in event(). Nothing for what only the document route can judge.
  std::optional<std::string_view> read_feed(std::string_view text);

  // What the last recognised command carried: the event of "feed", the
  // events of "feed_batch", the symbols' events of "scan".
  const Event& event() const noexcept { return event_; }
  const EventList& events() const noexcept { return events_; }
  const SymbolEvents& symbol_events() const noexcept { return symbol_events_; }

  // Lets go of the buffers after an unusually large command.
  void release() noexcept;

 private:
  // What the members of an object said, by name.
  struct Members {
    enum class Events : std::uint8_t { None, List, Map };
    std::string_view cmd;
    std::string_view symbol;
    bool has_cmd = false;
    bool has_symbol = false;
    bool has_event = false;
    Events events = Events::None;
  };
  bool read_members(std::string_view text, Members& out);

  Event event_;
  EventList events_;
  SymbolEvents symbol_events_;
};

}  // namespace fenmor
