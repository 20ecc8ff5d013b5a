#pragma once
// The oracle of the line feeder: a recording fed line by line to radars
// through RadarHandle::command, as the Python replay always did it: each line
// that is a JSON object made into a feed command by appending "cmd":"feed",
// every other line given as its raw text. Shared by the differential test and
// the fuzzer.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "json/document.hpp"

namespace fenmor::oracle {

// What the feeder reports, as a flat comparable value.
struct Item {
  bool checkpoint;
  std::uint64_t number;             // events, or the line number
  std::optional<std::int64_t> ts;   // checkpoints
  std::vector<std::string> texts;   // replies, or the message
  bool operator==(const Item&) const = default;
};

// For readable test failures.
inline void PrintTo(const Item& item, std::ostream* out) {
  *out << (item.checkpoint ? "checkpoint " : "bad ") << item.number;
  if (item.ts) *out << " ts " << *item.ts;
  for (const std::string& text : item.texts) *out << "\n    " << text.substr(0, 300);
}

inline Item flat(const replay::FeederItem& item) {
  if (const auto* c = std::get_if<replay::Checkpoint>(&item)) {
    return {true, c->events, c->ts, c->replies};
  }
  const auto& bad = std::get<replay::BadLine>(item);
  return {false, bad.number, std::nullopt, {bad.message}};
}

inline std::string error_of(std::string_view reply) {
  json::Document doc;
  auto root = json::parse_document(reply, doc);
  const json::Node* error = root ? (*root)->find("error") : nullptr;
  return error != nullptr ? std::string(error->string()) : std::string(reply);
}

inline bool valid_utf8_prefix(std::string_view text, std::size_t& bad) {
  // Deliberately plain: code point by code point, with the ranges written out.
  std::size_t i = 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < text.size()) {
    const unsigned c = byte(i);
    std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                  : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size()) { bad = i; return false; }
    std::uint32_t cp = n == 1 ? c : c & (0xFFu >> (n + 1));
    for (std::size_t k = 1; k < n; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) { bad = i; return false; }
      cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { bad = i; return false; }
    i += n;
  }
  return true;
}

struct Result {
  std::vector<Item> items;
  std::uint64_t events = 0;
  std::uint64_t bad_lines = 0;
  bool stopped = false;
};

// Feeds the whole recording; `every_ts` and `every_events` as in the feeder.
inline Result replay_by_commands(std::string_view input, std::vector<RadarHandle>& radars,
                                 std::optional<std::uint64_t> every_events,
                                 std::optional<std::uint64_t> every_ts, bool strict) {
  Result out;
  std::optional<std::int64_t> clock;
  std::optional<std::uint64_t> last_taken;
  const auto alerts = [&] {
    std::vector<std::string> replies;
    for (RadarHandle& r : radars) replies.emplace_back(r.command(R"({"cmd":"alerts"})"));
    return replies;
  };
  const auto period = [&](std::int64_t ts) {  // rounded down; every_ts fits an int64 here
    const auto t = static_cast<std::int64_t>(*every_ts);
    return ts / t - (ts % t != 0 && ts < 0 ? 1 : 0);
  };
  if (input.starts_with("\xEF\xBB\xBF")) input.remove_prefix(3);
  std::uint64_t number = 0;
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    ++number;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    std::string message;
    std::optional<std::int64_t> ts;
    std::size_t bad_at = 0;
    if (!valid_utf8_prefix(line, bad_at)) {
      message = "not valid UTF-8 (byte " + std::to_string(bad_at + 1) + " of the line)";
    } else {
      json::Document doc;
      auto root = json::parse_document(line, doc);
      const bool object = root && (*root)->kind() == json::NodeKind::Object;
      std::string command(line);
      if (object) {
        command.erase(command.find_last_not_of(" \t\r\n"));  // drops the closing brace too
        command = (*root)->members().empty() ? R"({"cmd":"feed"})" : command + R"(,"cmd":"feed"})";
        const json::Node* event = (*root)->find("event");
        const json::Node* t = event == nullptr ? nullptr
                              : event->kind() == json::NodeKind::Object ? event->find("ts")
                              : event->kind() == json::NodeKind::Array && event->elements().size() > 1
                                  ? &event->elements()[1] : nullptr;
        if (t != nullptr && t->kind() == json::NodeKind::I64) ts = t->i64();
        if (t != nullptr && t->kind() == json::NodeKind::U64) ts = static_cast<std::int64_t>(t->u64());
      }
      std::vector<std::string> before;
      if (ts && every_ts && clock && period(*ts) > period(*clock)) before = alerts();
      for (RadarHandle& r : radars) {
        const std::string reply(r.command(command));
        if (reply != R"({"ok":true})") {
          message = error_of(reply);
          if (!object && message == R"(bad spec: missing "cmd")") {
            message = R"(an event line must be a JSON object with "symbol" and "event" members)";
          }
        }
      }
      if (message.empty()) {
        if (!before.empty()) {
          out.items.push_back({true, out.events, clock, before});
          last_taken = out.events;
        }
        ++out.events;
        if (!clock || *ts > *clock) clock = *ts;
        if (every_events && out.events % *every_events == 0) {
          out.items.push_back({true, out.events, clock, alerts()});
          last_taken = out.events;
        }
        continue;
      }
    }
    ++out.bad_lines;
    out.items.push_back({false, number, std::nullopt, {message}});
    if (strict) {
      out.stopped = true;
      return out;
    }
  }
  if (last_taken != out.events) out.items.push_back({true, out.events, clock, alerts()});
  return out;
}

}  // namespace fenmor::oracle
