// The sweep against a feeder with one radar per trial watching crossings:
// the same upward crossings of every trial, in the same order, with the
// same severities, and at every checkpoint the symbols whose last crossing
// went up, over random recordings and random trial specs (shared and
// distinct lookbacks, zero weights, thresholds at or below zero).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/replay/trial_sweep.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor {
namespace {

struct Seen {
  std::string symbol;
  std::int64_t ts;
  std::uint64_t events;
  double severity;
  bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* out) {
  *out << s.symbol << " ts " << s.ts << " events " << s.events << " severity " << s.severity;
}

CompiledSpec compiled(const std::string& text) {
  auto decoded = decode_spec_text(text);
  EXPECT_TRUE(decoded.has_value()) << text;
  auto spec = CompiledSpec::compile(*std::move(decoded));
  EXPECT_TRUE(spec.has_value()) << text;
  return *std::move(spec);
}

// Events of every kind for a few symbols, some of them out of ts order,
// with a bad line now and then.
std::string random_recording(std::mt19937& random, std::size_t events) {
  std::string text;
  std::vector<double> oi(7, 1000.0);
  for (std::size_t i = 0; i < events; ++i) {
    const std::size_t symbol = random() % oi.size();
    const std::string head = R"({"symbol":"S)" + std::to_string(symbol) + R"(","event":[)";
    const std::string ts = std::to_string(1000 + i * 10 - random() % 30);
    switch (random() % 4) {
      case 0:
        text += head + R"("liquidation",)" + ts + R"(,"buy",)" + std::to_string(random() % 5) + ",100]}\n";
        break;
      case 1:
        text += head + R"("orderbook",)" + ts + "," + std::to_string(random() % 20) + "," +
                std::to_string(random() % 20) + ",99,101]}\n";
        break;
      default: {
        oi[symbol] *= 1.0 + (static_cast<double>(random() % 11) - 5.0) / 100.0;
        const char* funding = random() % 2 == 0 ? "0.0003" : "-0.0002";
        text += head + R"("derivatives",)" + ts + "," + std::to_string(oi[symbol]) + "," + funding + "," +
                std::to_string(100 + random() % 5) + "]}\n";
      }
    }
    if (random() % 97 == 0) text += "not a line\n";
  }
  return text;
}

std::string random_spec(std::mt19937& random) {
  const std::vector<std::string> signals = {
      R"({"kind":"oi_delta","params":[LB,0.03])",
      R"({"kind":"funding_flip","params":[0.0004])",
      R"({"kind":"book_imbalance","params":[0.5])",
      R"({"kind":"liq_cluster","params":[LB,6])",
      R"({"kind":"oi_price_divergence","params":[LB,0.02])",
  };
  const std::vector<std::string> weights = {"0", "0.5", "1", "2", "0.3"};
  const std::vector<std::string> thresholds = {"0", "-0.1", "0.2", "0.35", "0.5", "0.8"};
  std::string text = R"({"signals":[)";
  std::vector<std::string> chosen;  // a spec names each signal once
  const std::size_t count = 1 + random() % 4;
  while (chosen.size() < count) {
    std::string signal = signals[random() % signals.size()];
    if (const std::size_t at = signal.find("LB"); at != std::string::npos) {
      signal.replace(at, 2, std::to_string(1 + random() % 6));
    }
    if (std::find(chosen.begin(), chosen.end(), signal) != chosen.end()) continue;
    if (!chosen.empty()) text += ",";
    chosen.push_back(signal);
    text += signal + R"(,"weight":)" + weights[random() % weights.size()] + "}";
  }
  return text + R"(],"threshold":)" + thresholds[random() % thresholds.size()] + "}";
}

TEST(TrialSweep, GivesEachTrialTheCrossingsOfItsOwnRadar) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 random(seed);
    const std::string recording = random_recording(random, 2500);
    std::vector<std::string> texts;
    for (int i = 0; i < 9; ++i) texts.push_back(random_spec(random));
    std::vector<CompiledSpec> trials;
    std::vector<RadarHandle> radars;
    for (const std::string& text : texts) {
      trials.push_back(compiled(text));
      radars.emplace_back(compiled(text));
    }

    // One radar per trial, crossings watched; blocks of odd sizes.
    replay::LineFeeder feeder(std::move(radars), {100, std::nullopt}, false, {true, false});
    std::vector<replay::FeederItem> items;
    for (std::size_t at = 0; at < recording.size(); at += 901) {
      feeder.feed(std::string_view(recording).substr(at, 901), items);
    }
    feeder.finish(true, items);
    std::vector<std::vector<Seen>> expected(texts.size());
    // Per trial, symbol name -> whether alerting, after each checkpoint's events.
    std::vector<std::map<std::string, bool>> now(texts.size());
    std::vector<std::vector<std::map<std::string, bool>>> at_checkpoints(texts.size());
    for (const auto& item : items) {
      if (const auto* c = std::get_if<replay::Crossing>(&item)) {
        const bool up = c->direction == replay::Direction::up;
        if (up) expected[c->spec].push_back({c->alert.symbol, c->alert.ts, c->events, c->alert.severity});
        now[c->spec][c->alert.symbol] = up;
      } else if (std::holds_alternative<replay::Checkpoint>(item)) {
        for (std::size_t t = 0; t < texts.size(); ++t) at_checkpoints[t].push_back(now[t]);
      }
    }
    // The sweep beside a radar that only keeps the clock.
    std::vector<RadarHandle> clock;
    clock.emplace_back(compiled(R"({"signals":[{"kind":"funding_flip","params":[1]}],"threshold":2})"));
    replay::LineFeeder swept(std::move(clock), {100, std::nullopt}, false);
    swept.sweep(replay::TrialSweep(trials));
    swept.keep_events(1'000'000);
    std::vector<replay::FeederItem> ignored;
    for (std::size_t at = 0; at < recording.size(); at += 1234) {
      swept.feed(std::string_view(recording).substr(at, 1234), ignored);
    }
    swept.finish(true, ignored);
    const std::vector<replay::SweepCrossings> found = swept.trial_sweep()->take();
    ASSERT_EQ(found.size(), texts.size());
    std::size_t total = 0;
    const std::vector<std::string>& names = swept.symbol_names();
    for (std::size_t t = 0; t < texts.size(); ++t) {
      std::vector<Seen> got;
      const replay::SweepCrossings& f = found[t];
      for (std::size_t i = 0; i < f.size(); ++i) {
        got.push_back({names[f.symbol[i]], f.ts[i], f.events[i], f.severity[i]});
      }
      total += got.size();
      EXPECT_EQ(got, expected[t]) << "seed " << seed << ", trial " << texts[t];
      const std::size_t checkpoints = at_checkpoints[t].size();
      ASSERT_EQ(f.alerting.size(), names.size() * checkpoints);
      for (std::size_t c = 0; c < checkpoints; ++c) {
        for (std::size_t number = 0; number < names.size(); ++number) {
          const auto alerting = at_checkpoints[t][c].find(names[number]);
          const bool want = alerting != at_checkpoints[t][c].end() && alerting->second;
          EXPECT_EQ(f.alerting[number * checkpoints + c] != 0, want)
              << "seed " << seed << ", trial " << texts[t] << ", checkpoint " << c << ", " << names[number];
        }
      }
    }
    EXPECT_GT(total, 100u) << "seed " << seed;
    // Each distinct signal once: the trials share some.
    EXPECT_LT(swept.trial_sweep()->signal_count(), 9u * 4u);

    // The same again from the events the feeder kept.
    ASSERT_NE(swept.kept_events(), nullptr);
    const std::vector<replay::SweepCrossings> from_log = replay::sweep_events(*swept.kept_events(), trials);
    ASSERT_EQ(from_log.size(), texts.size());
    for (std::size_t t = 0; t < texts.size(); ++t) {
      EXPECT_EQ(from_log[t].symbol, found[t].symbol);
      EXPECT_EQ(from_log[t].ts, found[t].ts);
      EXPECT_EQ(from_log[t].events, found[t].events);
      EXPECT_EQ(from_log[t].severity, found[t].severity);
      EXPECT_EQ(from_log[t].alerting, found[t].alerting);
    }
  }
}

// Past its limit a feeder keeps no events at all: a log is whole or absent.
TEST(TrialSweep, AFeederKeepsEventsOnlyUpToItsLimit) {
  std::mt19937 random(3);
  const std::string recording = random_recording(random, 200);
  const auto kept = [&](std::size_t limit) {
    std::vector<RadarHandle> clock;
    clock.emplace_back(compiled(R"({"signals":[{"kind":"funding_flip","params":[1]}],"threshold":2})"));
    replay::LineFeeder feeder(std::move(clock), {}, false);
    feeder.keep_events(limit);
    std::vector<replay::FeederItem> items;
    feeder.feed(recording, items);
    feeder.finish(true, items);
    const replay::EventLog* log = feeder.kept_events();
    return std::pair(log == nullptr ? std::size_t{0} : log->size(), feeder.events());
  };
  const auto [all, events] = kept(1000);
  EXPECT_EQ(all, events);
  EXPECT_EQ(kept(events).first, events);
  EXPECT_EQ(kept(events - 1).first, 0u);
}

}  // namespace
}  // namespace fenmor
