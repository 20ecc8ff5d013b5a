#include "crates/radar-core/src/protocol/quick_command.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "crates/radar-core/src/event_text.hpp"
#include "json/cursor.hpp"

namespace fenmor {
namespace {

using json::Cursor;

enum class Member : std::uint8_t { Cmd, Symbol, Event, Events, Other };

// `text` is `word`: with the length known at compile time the compare is a
// few loads, not a call.
template <std::size_t N>
bool is(std::string_view text, const char (&word)[N]) noexcept {
  return text.size() == N - 1 && std::memcmp(text.data(), word, N - 1) == 0;
}

Member member_named(std::string_view name) noexcept {
  if (is(name, "cmd")) return Member::Cmd;
  if (is(name, "symbol")) return Member::Symbol;
  if (is(name, "event")) return Member::Event;
  if (is(name, "events")) return Member::Events;
  return Member::Other;
}

// A string member whose value is kept, as a view into the command.
bool read_string_member(Cursor& in, std::string_view& out) {
  if (in.peek_token() != '"') return false;
  auto text = in.read_plain_string();
  if (!text) return false;
  out = *text;
  return true;
}

// After ':' and before the next member: a comma (true, more to come) or the
// closing brace (true, `closed` set); anything else is for the document.
bool next_member(Cursor& in, bool& closed) {
  const int c = in.peek_token();
  in.advance();
  closed = c == '}';
  return c == ',' || closed;
}

// The "events" object of "scan": symbol -> events, in byte order of the
// symbols, the last of repeated symbols kept (as the document keeps it).
bool read_symbol_events(Cursor& in, SymbolEvents& out) {
  in.advance();  // '{'
  out.clear();
  if (in.peek_token() == '}') {
    in.advance();
    return true;
  }
  for (bool closed = false; !closed;) {
    if (in.peek_token() != '"') return false;
    auto name = in.read_plain_string();
    if (!name) return false;
    std::string symbol(*name);
    if (in.peek_token() != ':') return false;
    in.advance();
    EventList events;
    if (!read_event_list_text(in, events)) return false;
    out.emplace_back(std::move(symbol), std::move(events));
    if (!next_member(in, closed)) return false;
  }
  const auto by_symbol = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (!std::is_sorted(out.begin(), out.end(), by_symbol)) {
    std::stable_sort(out.begin(), out.end(), by_symbol);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i + 1 < out.size() && out[i + 1].first == out[i].first) continue;  // a later one wins
    if (kept != i) out[kept] = std::move(out[i]);
    ++kept;
  }
  out.erase(out.begin() + static_cast<std::ptrdiff_t>(kept), out.end());
  return true;
}

}  // namespace

bool QuickReader::read_members(std::string_view text, Members& out) {
  Cursor in(text);
  if (in.peek_token() != '{') return false;
  in.advance();
  if (in.peek_token() == '}') return false;

  for (bool closed = false; !closed;) {
    if (in.peek_token() != '"') return false;
    auto name = in.read_plain_string();
    if (!name) return false;
    const Member member = member_named(*name);
    if (in.peek_token() != ':') return false;
    in.advance();
    bool read = false;
    switch (member) {
      case Member::Cmd:
        read = out.has_cmd = read_string_member(in, out.cmd);
        break;
      case Member::Symbol:
        read = out.has_symbol = read_string_member(in, out.symbol);
        break;
      case Member::Event:
        read = out.has_event = read_event_text(in, event_);
        break;
      case Member::Events:
        // A repeated member replaces the earlier one, whatever its shape.
        if (in.peek_token() == '[') {
          events_.clear();
          read = read_event_list_text(in, events_);
          out.events = Members::Events::List;
        } else if (in.peek_token() == '{') {
          read = read_symbol_events(in, symbol_events_);
          out.events = Members::Events::Map;
        }
        break;
      case Member::Other:
        read = skip_scalar_text(in);
        break;
    }
    if (!read || !next_member(in, closed)) return false;
  }
  return in.finish().has_value();
}

std::optional<QuickCommand> QuickReader::read(std::string_view text) {
  Members members;
  if (!read_members(text, members) || !members.has_cmd) return std::nullopt;
  const std::string_view cmd = members.cmd;
  if (is(cmd, "feed") && members.has_symbol && members.has_event) {
    return QuickCommand{QuickCommand::Name::Feed, members.symbol};
  }
  if (is(cmd, "feed_batch") && members.has_symbol && members.events == Members::Events::List) {
    return QuickCommand{QuickCommand::Name::FeedBatch, members.symbol};
  }
  if (is(cmd, "scan") && members.events == Members::Events::Map) {
    return QuickCommand{QuickCommand::Name::Scan, {}};
  }
  return std::nullopt;
}

std::optional<std::string_view> QuickReader::read_feed(std::string_view text) {
  // A "cmd" of the object's own is overridden: read, never looked at.
  Members members;
  if (!read_members(text, members) || !members.has_symbol || !members.has_event) {
    return std::nullopt;
  }
  return members.symbol;
}

void QuickReader::release() noexcept {
  events_ = EventList();
  symbol_events_ = SymbolEvents();
}

}  // namespace fenmor
