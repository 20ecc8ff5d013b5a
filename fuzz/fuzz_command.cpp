// The whole command path of one radar, kept from input to input so that its
// stored state carries over. An input holds one or more command texts
// separated by NUL bytes. For every command:
// - the reply has one of the four shapes, is compact, holds no raw control
//   character, and is UTF-8 when the command is;
// - the reply is the one the command calls for: the exact error for a text
//   that does not parse, has no "cmd" or names no command; the version reply
//   for "version"; an alerts reply for "alerts" and "scan" unless they fail;
// - a failed command leaves the "alerts" reply, the spec and the number of
//   stored symbols as they were; "version", "alerts" and "scan" never change
//   them; "reset" and an accepted "set_spec" empty the dataset;
// - an alerts reply is ranked and cut as the spec says: severities at or
//   above the threshold, in [0, 1], highest first and ties by symbol, at most
//   `limit` alerts, one factor per signal plus "severity";
// - "scan" answers the same twice (its states are built on the worker pool),
//   and the same as "alerts" on states fed the same events one by one.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/protocol/scan_commands.hpp"
#include "crates/radar-core/src/event_decode.hpp"
#include "crates/radar-core/src/spec_decode.hpp"
#include "fuzz/check.hpp"
#include "fuzz/reply_reader.hpp"
#include "json/document.hpp"

namespace {

using fenmor::fuzz::Reply;
using fenmor::fuzz::ReplyShape;
using fenmor::fuzz::require;

constexpr std::string_view first_spec =
    R"({"signals":[{"kind":"oi_delta","params":[3,0.05]},)"
    R"({"kind":"funding_flip","params":[0.0001]},)"
    R"({"kind":"book_imbalance","params":[0.2],"weight":2},)"
    R"({"kind":"liq_cluster","params":[5,1000]},)"
    R"({"kind":"oi_price_divergence","params":[2,0.01],"weight":0.5}],"threshold":0.0})";
constexpr std::string_view alerts_command = R"({"cmd":"alerts"})";
constexpr std::string_view empty_alerts = R"({"alerts":[],"scanned":0})";
// Beyond this many stored symbols the radar is reset, so that the "alerts"
// taken around every command stays cheap.
constexpr std::size_t max_kept_symbols = 32;
constexpr std::size_t max_commands_per_input = 64;

fenmor::RadarHandle& kept_radar() {
  static fenmor::RadarHandle* radar = [] {
    auto spec = fenmor::decode_spec_text(first_spec);
    require(spec.has_value(), "the first spec decodes");
    auto compiled = fenmor::CompiledSpec::compile(std::move(*spec));
    require(compiled.has_value(), "the first spec is valid");
    return new fenmor::RadarHandle(std::move(*compiled));
  }();
  return *radar;
}

Reply read(std::string_view reply, std::string_view command) {
  auto read = fenmor::fuzz::read_reply(reply);
  if (!read) {
    fenmor::fuzz::broken("malformed reply: " + read.error(),
                         std::string(reply) + "\n*** command: " + std::string(command));
  }
  return std::move(*read);
}

bool same_spec(const fenmor::RadarSpec& a, const fenmor::RadarSpec& b) {
  if (a.signals.size() != b.signals.size()) return false;
  for (std::size_t i = 0; i < a.signals.size(); ++i) {
    if (fenmor::signal_key(a.signals[i]) != fenmor::signal_key(b.signals[i]) ||
        !(a.signals[i].weight == b.signals[i].weight)) {
      return false;
    }
  }
  return a.threshold == b.threshold && a.limit == b.limit && a.venues == b.venues &&
         a.symbols == b.symbols;
}

// What the spec makes of an alerts reply, whatever was scanned.
void check_ranking(const Reply& reply, const fenmor::RadarSpec& spec, std::string_view text) {
  require(reply.alerts.size() <= reply.scanned, "more alerts than symbols scanned", text);
  if (spec.limit) require(reply.alerts.size() <= *spec.limit, "more alerts than the limit", text);
  // Every severity is at least 0, so a threshold of 0 or less passes every
  // symbol, unless the weights add up to infinity (a severity that is not a
  // number passes nothing).
  double total_weight = 0.0;
  for (const auto& signal : spec.signals) total_weight += signal.weight;
  if (spec.threshold <= 0.0 && std::isfinite(total_weight)) {
    const std::uint64_t due = spec.limit ? std::min(*spec.limit, reply.scanned) : reply.scanned;
    require(reply.alerts.size() == due, "threshold 0 passes every symbol", text);
  }
  std::vector<std::string> keys;
  for (const auto& signal : spec.signals) keys.push_back(fenmor::signal_key(signal));
  keys.emplace_back("severity");
  std::sort(keys.begin(), keys.end());
  for (std::size_t i = 0; i < reply.alerts.size(); ++i) {
    const auto& alert = reply.alerts[i];
    require(alert.severity >= spec.threshold, "an alert below the threshold", text);
    require(alert.severity >= 0.0 && alert.severity <= 1.0, "severity outside [0, 1]", text);
    require(alert.factors.size() == keys.size(), "not one factor per signal", text);
    for (std::size_t k = 0; k < keys.size(); ++k) {
      require(alert.factors[k].first == keys[k], "factor names are not the signal keys", text);
      require(alert.factors[k].second >= 0.0 && alert.factors[k].second <= 1.0,
              "factor outside [0, 1]", text);
    }
    if (i > 0) {
      const auto& before = reply.alerts[i - 1];
      require(before.severity > alert.severity ||
                  (before.severity == alert.severity && before.symbol < alert.symbol),
              "alerts out of rank order", text);
    }
  }
}

bool has_symbol(const fenmor::RadarHandle& radar, std::string_view symbol) {
  return std::any_of(radar.dataset().begin(), radar.dataset().end(),
                     [&](const auto& entry) { return entry.first == symbol; });
}

// The stored states behind an "alerts" reply.
void check_stored(const Reply& reply, const fenmor::RadarHandle& radar, std::string_view text) {
  require(reply.shape == ReplyShape::Alerts, "\"alerts\" did not answer alerts", text);
  require(reply.scanned == radar.dataset().len(), "scanned is not the number of symbols", text);
  check_ranking(reply, radar.spec(), text);
  for (const auto& alert : reply.alerts) {
    const auto state = std::find_if(radar.dataset().begin(), radar.dataset().end(),
                                    [&](const auto& entry) { return entry.first == alert.symbol; });
    require(state != radar.dataset().end(), "an alert for a symbol never fed", text);
    require(state->second.last_ts() == alert.ts, "alert ts is not the state's last ts", text);
  }
}

// "scan" against the same events fed one by one into fresh states.
void check_scan(const fenmor::RadarHandle& radar, const fenmor::json::Node& command,
                const Reply& reply, std::string_view reply_text, std::string_view text) {
  auto events = fenmor::decode_symbol_events(*command.find("events"));
  require(events.has_value(), "\"scan\" answered alerts for events that do not decode", text);
  require(reply.scanned == events->size(), "scanned is not the number of scan symbols", text);
  check_ranking(reply, radar.spec(), text);
  // A symbol without events has a state in a scan but none in a dataset.
  for (const auto& entry : *events) {
    if (entry.second.empty()) return;
  }
  const auto spec = fenmor::CompiledSpec::compile(radar.spec());
  require(spec.has_value(), "the radar's spec does not compile");
  fenmor::Dataset fed;
  for (const auto& [symbol, list] : *events) {
    for (const auto& event : list) fed.feed(symbol, event, spec->window());
  }
  std::string sequential;
  require(fenmor::run_alerts(*spec, fed, sequential).has_value(), "alerts on fed states");
  require(sequential == reply_text, "\"scan\" differs from the same events fed one by one",
          sequential + "\n*** scan: " + std::string(reply_text));
}

void run_one(std::string_view text) {
  fenmor::RadarHandle& radar = kept_radar();
  if (radar.dataset().len() > max_kept_symbols) {
    require(radar.command(R"({"cmd":"reset"})") == R"({"ok":true})", "reset");
  }
  const std::string before(radar.command(alerts_command));
  check_stored(read(before, alerts_command), radar, alerts_command);
  const fenmor::RadarSpec spec_before = radar.spec();
  const std::size_t symbols_before = radar.dataset().len();
  std::vector<std::string> stored_before;
  for (const auto& entry : radar.dataset()) stored_before.push_back(entry.first);
  const auto had_symbol = [&](std::string_view symbol) {
    return std::find(stored_before.begin(), stored_before.end(), symbol) != stored_before.end();
  };

  const std::string reply_text(radar.command(text));
  const Reply reply = read(reply_text, text);
  // Symbols are copied byte for byte, so only a radar that holds UTF-8
  // symbols owes a UTF-8 reply to a UTF-8 command.
  if (fenmor::fuzz::is_utf8(text) &&
      std::all_of(radar.dataset().begin(), radar.dataset().end(),
                  [](const auto& entry) { return fenmor::fuzz::is_utf8(entry.first); })) {
    require(fenmor::fuzz::is_utf8(reply_text), "a UTF-8 command got a reply that is not", text);
  }

  const std::string after(radar.command(alerts_command));
  check_stored(read(after, alerts_command), radar, alerts_command);
  const bool unchanged = after == before && same_spec(radar.spec(), spec_before) &&
                         radar.dataset().len() == symbols_before;

  if (reply.shape == ReplyShape::Error) {
    require(reply.error.starts_with("parse: ") || reply.error.starts_with("bad spec: "),
            "error text without its kind", reply.error);
    require(unchanged, "a failed command changed the radar", text);
  }

  // The reply the command text calls for, judged from the radar's own reader.
  fenmor::json::Document document;
  auto root = fenmor::json::parse_document(text, document);
  if (!root) {
    require(reply.shape == ReplyShape::Error && reply.error == "parse: " + root.error().describe(),
            "unreadable command without its syntax error", reply_text);
    return;
  }
  const fenmor::json::Node* cmd = (*root)->find("cmd");
  if (cmd == nullptr || cmd->kind() != fenmor::json::NodeKind::String) {
    require(reply.shape == ReplyShape::Error && reply.error == R"(bad spec: missing "cmd")",
            "command without \"cmd\"", reply_text);
    return;
  }
  const std::string_view name = cmd->string();
  if (name == "version") {
    require(reply.shape == ReplyShape::Version && unchanged, "\"version\"", reply_text);
  } else if (name == "alerts") {
    require(reply_text == before && unchanged, "\"alerts\" is not the stored alerts", reply_text);
  } else if (name == "scan") {
    require(reply.shape == ReplyShape::Alerts || reply.shape == ReplyShape::Error, "\"scan\"",
            reply_text);
    require(unchanged, "\"scan\" changed the radar", text);
    if (reply.shape == ReplyShape::Alerts) {
      require(std::string_view(radar.command(text)) == reply_text, "\"scan\" answers differ",
              text);
      check_scan(radar, **root, reply, reply_text, text);
    }
  } else if (name == "reset") {
    require(reply.shape == ReplyShape::Ok && after == empty_alerts &&
                same_spec(radar.spec(), spec_before),
            "\"reset\"", reply_text);
  } else if (name == "set_spec") {
    require(reply.shape == ReplyShape::Ok || reply.shape == ReplyShape::Error, "\"set_spec\"",
            reply_text);
    if (reply.shape == ReplyShape::Ok) require(after == empty_alerts, "the dataset was kept", after);
  } else if (name == "feed" || name == "feed_batch") {
    require(reply.shape == ReplyShape::Ok || reply.shape == ReplyShape::Error, "feeding",
            reply_text);
    require(same_spec(radar.spec(), spec_before), "feeding changed the spec", text);
    if (reply.shape == ReplyShape::Ok) {
      // The symbol fed is the command's (last) "symbol" member; a batch
      // without events creates no state.
      const fenmor::json::Node* symbol_node = (*root)->find("symbol");
      require(symbol_node != nullptr && symbol_node->kind() == fenmor::json::NodeKind::String,
              "fed without a string \"symbol\"", text);
      const std::string_view symbol = symbol_node->string();
      const fenmor::json::Node* events = (*root)->find("events");
      require(name == "feed" || (events != nullptr && events->kind() == fenmor::json::NodeKind::Array),
              "a batch fed without an \"events\" array", text);
      const bool fed = name == "feed" || !events->elements().empty();
      require(!fed || has_symbol(radar, symbol), "the symbol fed has no state", text);
      const bool added = fed && !had_symbol(symbol);
      require(radar.dataset().len() == symbols_before + (added ? 1 : 0),
              "feeding changed the number of symbols wrongly", text);
    }
  } else {
    require(reply.shape == ReplyShape::Error &&
                reply.error == "bad spec: unknown cmd: " + std::string(name),
            "unknown command", reply_text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (std::size_t count = 0; count < max_commands_per_input; ++count) {
    const std::size_t end = rest.find('\0');
    run_one(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return 0;
}
