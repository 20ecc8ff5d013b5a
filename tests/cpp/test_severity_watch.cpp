// Crossings and peaks of the line feeder against the command route: after
// every event, a radar with the same signals and a threshold of 0 gives
// every symbol's alert as an "alerts" reply writes it; the symbol crosses
// when its severity moves to the other side of the real threshold.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/replay/crossing_line.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor {
namespace {

struct SpecPair {
  std::string spec;       // as the feeder runs it
  std::string everyone;   // the same signals, threshold 0, no limit
  double threshold;
};

// The second spec's limit of 1 ranks symbols in a reply; it has nothing to
// do with one symbol crossing.
const std::vector<SpecPair> specs = {
    {R"({"signals":[{"kind":"funding_flip","params":[0.0001]},{"kind":"oi_delta","params":[3,0.02],"weight":2}],"threshold":0.4})",
     R"({"signals":[{"kind":"funding_flip","params":[0.0001]},{"kind":"oi_delta","params":[3,0.02],"weight":2}],"threshold":0})",
     0.4},
    {R"({"signals":[{"kind":"liq_cluster","params":[4,5]}],"threshold":0.5,"limit":1})",
     R"({"signals":[{"kind":"liq_cluster","params":[4,5]}],"threshold":0})", 0.5},
};

RadarHandle radar(const std::string& text) {
  return RadarHandle(*CompiledSpec::compile(*decode_spec_text(text)));
}

std::vector<RadarHandle> feeder_radars() {
  std::vector<RadarHandle> out;
  for (const SpecPair& pair : specs) out.push_back(radar(pair.spec));
  return out;
}

// The alert object of `symbol` in an alerts reply of a threshold-0 radar.
std::string alert_in(std::string_view reply, const std::string& symbol) {
  const std::size_t start = reply.find(R"({"symbol":")" + symbol + R"(",)");
  const std::size_t end = reply.find('}', reply.find(R"("ts":)", start));
  return std::string(reply.substr(start, end + 1 - start));
}

double severity_of(std::string_view alert) {
  const std::size_t at = alert.find(R"("severity":)") + 11;
  return std::stod(std::string(alert.substr(at, alert.find(',', at) - at)));
}

std::int64_t ts_of(std::string_view alert) {
  return std::stoll(std::string(alert.substr(alert.rfind(R"("ts":)") + 5)));
}

struct Expected {
  std::string direction;
  std::size_t spec;
  std::uint64_t events;
  std::uint64_t line;
  std::string alert;
  bool operator==(const Expected&) const = default;
};

void PrintTo(const Expected& e, std::ostream* out) {
  *out << e.direction << " spec " << e.spec << " events " << e.events << " line " << e.line << " "
       << e.alert;
}

std::string random_recording(unsigned seed, std::size_t events) {
  std::mt19937 random(seed);
  std::string text;
  std::map<int, double> oi;
  for (std::size_t i = 0; i < events; ++i) {
    const int symbol = static_cast<int>(random() % 5);
    const std::string name = "S" + std::to_string(symbol);
    const std::string ts = std::to_string(1000 + i * 10 + random() % 7);
    if (random() % 3 == 0) {
      text += R"({"symbol":")" + name + R"(","event":["liquidation",)" + ts + R"(,"sell",)" +
              std::to_string(random() % 4) + ",100]}\n";
    } else {
      double& value = oi.try_emplace(symbol, 1000.0).first->second;
      value *= 1.0 + (static_cast<double>(random() % 9) - 4.0) / 100.0;
      const char* funding = random() % 2 == 0 ? "0.0003" : "-0.0002";
      text += R"({"symbol":")" + name + R"(","event":["derivatives",)" + ts + "," +
              std::to_string(value) + "," + funding + ",5]}\n";
    }
    if (random() % 50 == 0) text += "not a line\n";
  }
  return text;
}

TEST(SeverityWatch, CrossingsAndPeaksAgreeWithTheCommandRoute) {
  const std::string recording = random_recording(11, 3000);
  constexpr std::uint64_t every = 40;

  // The command route, line by line.
  std::vector<RadarHandle> everyone;
  for (const SpecPair& pair : specs) everyone.push_back(radar(pair.everyone));
  std::vector<Expected> crossings;
  std::vector<std::vector<std::string>> peaks;  // per checkpoint, per spec
  std::vector<std::map<std::string, bool>> alerting(specs.size());
  std::vector<std::map<std::string, std::string>> peak(specs.size());  // symbol -> alert at its peak
  const auto take_peaks = [&] {
    std::vector<std::string> texts;
    for (std::size_t r = 0; r < specs.size(); ++r) {
      std::vector<std::pair<double, std::string>> ranked;
      for (const auto& [symbol, alert] : peak[r]) ranked.emplace_back(-severity_of(alert), symbol);
      std::sort(ranked.begin(), ranked.end());
      std::string text = "[";
      for (const auto& [minus, symbol] : ranked) {
        if (text.size() > 1) text += ",";
        text += R"({"symbol":")" + symbol + R"(","severity":)";
        append_json_double(text, -minus);
        text += R"(,"ts":)" + std::to_string(ts_of(peak[r][symbol])) + "}";
      }
      texts.push_back(text + "]");
      peak[r].clear();
    }
    peaks.push_back(texts);
    // A symbol alerting now alerts in the next interval too.
    for (std::size_t r = 0; r < specs.size(); ++r) {
      const std::string reply(everyone[r].command(R"({"cmd":"alerts"})"));
      for (const auto& [symbol, on] : alerting[r]) {
        if (on) peak[r][symbol] = alert_in(reply, symbol);
      }
    }
  };
  std::uint64_t events = 0;
  std::uint64_t number = 0;
  std::string_view rest = recording;
  while (!rest.empty()) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(line.size() + 1);
    ++number;
    if (line == "not a line") continue;
    const std::string symbol(line.substr(11, line.find('"', 11) - 11));
    const std::string command = std::string(line.substr(0, line.size() - 1)) + R"(,"cmd":"feed"})";
    ++events;
    for (std::size_t r = 0; r < specs.size(); ++r) {
      ASSERT_EQ(everyone[r].command(command), ok_reply);
      const std::string alert = alert_in(everyone[r].command(R"({"cmd":"alerts"})"), symbol);
      const bool now = severity_of(alert) >= specs[r].threshold;
      bool& was = alerting[r][symbol];
      if (now != was) crossings.push_back({now ? "up" : "down", r, events, number, alert});
      was = now;
      if (now && (!peak[r].contains(symbol) || severity_of(alert) > severity_of(peak[r][symbol]))) {
        peak[r][symbol] = alert;
      }
    }
    if (events % every == 0) take_peaks();
  }
  if (events % every != 0) take_peaks();

  // The feeder, in blocks of odd sizes.
  replay::LineFeeder feeder(feeder_radars(), {every, std::nullopt}, false, {true, true});
  std::vector<replay::FeederItem> items;
  for (std::size_t at = 0; at < recording.size(); at += 777) {
    feeder.feed(std::string_view(recording).substr(at, 777), items);
  }
  feeder.finish(true, items);
  std::vector<Expected> got;
  std::vector<std::vector<std::string>> got_peaks;
  for (const auto& item : items) {
    if (const auto* c = std::get_if<replay::Crossing>(&item)) {
      std::string text;
      write_alert(text, c->alert, feeder.factor_names(c->spec));
      got.push_back({std::string(replay::direction_name(c->direction)), c->spec, c->events, c->line, text});
    } else if (const auto* checkpoint = std::get_if<replay::Checkpoint>(&item)) {
      got_peaks.push_back(checkpoint->peaks);
    }
  }
  EXPECT_GT(crossings.size(), 50u);
  EXPECT_EQ(got, crossings);
  EXPECT_EQ(got_peaks, peaks);
}

// Without watching, a feeder reports neither crossings nor peaks; watching
// does not change a checkpoint's replies.
TEST(SeverityWatch, WatchingLeavesTheCheckpointsAsTheyAre) {
  const std::string recording = random_recording(5, 500);
  const auto run = [&](replay::Watching watching) {
    replay::LineFeeder feeder(feeder_radars(), {std::nullopt, 100}, false, watching);
    std::vector<replay::FeederItem> items;
    feeder.feed(recording, items);
    feeder.finish(true, items);
    std::vector<std::vector<std::string>> replies;
    std::size_t others = 0;
    for (const auto& item : items) {
      if (const auto* c = std::get_if<replay::Checkpoint>(&item)) {
        replies.push_back(c->replies);
        others += c->peaks.size();
      } else if (std::holds_alternative<replay::Crossing>(item)) {
        ++others;
      }
    }
    return std::pair(replies, others);
  };
  const auto plain = run({});
  EXPECT_EQ(plain.second, 0u);
  const auto watched = run({true, true});
  EXPECT_EQ(watched.first, plain.first);
  EXPECT_GT(watched.second, 0u);
}

// Crossings written as lines by the feeder are, run by run, the lines of the
// crossing items, in the same places among the other items, also when a
// small room cuts the calls short.
TEST(SeverityWatch, CrossingLinesAreTheCrossingsInTheirPlaces) {
  const std::string recording = random_recording(7, 3000);
  const std::vector<std::string> members = {"", R"("spec":"b\u00fc",)"};
  const auto run = [&](bool lines) {
    replay::LineFeeder feeder(feeder_radars(), {40, std::nullopt}, false, {true, true}, 700);
    if (lines) feeder.write_crossing_lines(members);
    std::vector<std::string> flat;  // a crossing run's lines as one text, each other item as its kind
    std::string run_text;
    const auto take = [&](std::vector<replay::FeederItem>& items) {
      for (const auto& item : items) {
        if (const auto* crossing = std::get_if<replay::Crossing>(&item)) {
          replay::append_crossing_line(run_text, *crossing, members[crossing->spec],
                                       feeder.factor_names(crossing->spec));
          continue;
        }
        if (const auto* text = std::get_if<replay::CrossingLines>(&item)) {
          run_text += text->text;
          continue;
        }
        if (!run_text.empty()) flat.push_back(std::exchange(run_text, {}));
        flat.push_back(std::holds_alternative<replay::Checkpoint>(item) ? "checkpoint" : "bad");
      }
      items.clear();
    };
    std::vector<replay::FeederItem> items;
    for (std::size_t at = 0; at < recording.size(); at += 1009) {
      feeder.feed(std::string_view(recording).substr(at, 1009), items);
      take(items);
      while (feeder.pending()) {
        feeder.resume(items);
        take(items);
      }
    }
    feeder.finish(true, items);
    take(items);
    if (!run_text.empty()) flat.push_back(run_text);
    return flat;
  };
  const auto expected = run(false);
  EXPECT_GT(std::count_if(expected.begin(), expected.end(),
                          [](const std::string& item) { return item.starts_with("{"); }),
            20);
  EXPECT_EQ(run(true), expected);
}

}  // namespace
}  // namespace fenmor
