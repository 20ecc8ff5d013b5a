// The line feeder against the command route: a recording fed line by line to
// radars through RadarHandle::command, each line made into the feed command
// it stands for (replay_oracle.hpp). Hostile recordings, every cut of the
// input into blocks, every checkpoint rule.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/spec_decode.hpp"
#include "tests/cpp/replay_oracle.hpp"

namespace fenmor {
namespace {

const std::vector<std::string> specs = {
    R"({"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.1})",
    R"({"signals":[{"kind":"oi_delta","params":[2,0.01]},{"kind":"liq_cluster","params":[2,1]}],"threshold":0.0,"limit":3})",
};

std::vector<RadarHandle> radars() {
  std::vector<RadarHandle> out;
  for (const std::string& text : specs) out.emplace_back(*CompiledSpec::compile(*decode_spec_text(text)));
  return out;
}

const std::string hostile = [] {
  std::string r;
  r += "\xEF\xBB\xBF";  // a byte-order mark, skipped at the very start only
  r += R"({"symbol":"BTC","event":{"kind":"derivatives","ts":10,"open_interest":100,"funding_rate":0.0003,"mark_price":5}})" "\n";
  r += R"({"symbol":"BTC","event":["derivatives",20,101,-0.0002,5]})" "\r\n";
  r += "\n   \t\r\n\r\n";
  r += R"({"symbol":"ETH","event":["liquidation",25,"sell",3,2000]})" "\n";
  r += R"({"symbol":"ETH","event":["liquidation",26,{"buy":null},3,2000]} )" "\n";
  r += R"({"symbol":"E\u0054H","event":{"kind":"orderbook","ts":5,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}})" "\n";
  r += R"({"symbol":"é€😀","event":["orderbook",31,1,2,3,4]})" "\n";
  r += R"({"symbol":"X","event":{"kind":"derivatives","ts":1.0,"open_interest":1,"funding_rate":1,"mark_price":1}})" "\n";
  r += R"({"symbol":"X","event":{"kind":"nope","ts":1}})" "\n";
  r += R"({"symbol":"X","event":{"kind":"derivatives","ts":"9","open_interest":1,"funding_rate":1,"mark_price":1}})" "\n";
  r += R"({"symbol":"X","event":["derivatives",9223372036854775808,1,1,1]})" "\n";
  r += R"({"symbol":"X","event":["derivatives",40,1e400,1,1]})" "\n";
  r += R"({"symbol":"X","event":["derivatives",41,1,1]})" "\n";
  r += R"({"symbol":"X","event":["derivatives",41,1,1,1,1]})" "\n";
  r += R"({"symbol":5,"event":["derivatives",42,1,1,1]})" "\n";
  r += R"({"cmd":"reset","symbol":"X","event":["derivatives",43,1,1,1]})" "\n";
  r += R"({"cmd":"alerts"})" "\n";
  r += R"({"symbol":"X","symbol":"Y","event":["derivatives",1,1,1,1],"event":["derivatives",44,2,2,2]})" "\n";
  r += R"({"symbol":"X","event":["derivatives",45,1,1,1],"extra":{"a":[1,2]}})" "\n";
  r += R"({"symbol":"X","event":["derivatives",46,1,1,1])" "\n";
  r += R"({"symbol":"X" "event":1})" "\n";
  r += R"([{"symbol":"X"}])" "\n";
  r += "17\n\"text\"\nnull\n{}\n { } \n";
  r += "{\"symbol\":\"X\",\"event\":[\"derivatives\",47,1,1,1],\"note\":\"\xC3\x28\"}\n";
  r += "\xFF\xFE\n";
  r += "{\"symbol\":\"X\xED\xA0\x80\",\"event\":1}\n";
  r += R"({"symbol":"\u001b]0;title\u0007","event":["liquidation",48,"\u001b[2J",1,1]})" "\n";
  r += R"({"symbol":"X","event":["derivatives",-7,1,1,1]})" "\n";
  r += R"({"symbol":"Z","event":["derivatives",99,1,1,1]})" "\n";
  r += R"({"symbol":"Z","event":["derivatives",100,1,1,1]})" "\n";
  r += "\xEF\xBB\xBF" R"({"symbol":"Z","event":["derivatives",101,1,1,1]})" "\n";
  r += R"({"symbol":"Z","event":["derivatives",250,1,1,1]})";  // no final line break
  return r;
}();

std::vector<oracle::Item> by_feeder(const std::vector<std::string_view>& blocks,
                                    std::optional<std::uint64_t> every_events,
                                    std::optional<std::uint64_t> every_ts, bool strict,
                                    replay::LineFeeder** keep = nullptr,
                                    std::size_t room = replay::LineFeeder::default_room) {
  static std::optional<replay::LineFeeder> feeder;
  feeder.emplace(radars(), replay::CheckpointPolicy{every_events, every_ts}, strict,
                 replay::Watching{}, room);
  std::vector<replay::FeederItem> items;
  for (std::string_view block : blocks) {
    feeder->feed(block, items);
    while (feeder->pending()) feeder->resume(items);
  }
  feeder->finish(true, items);
  if (keep != nullptr) *keep = &*feeder;
  std::vector<oracle::Item> out;
  for (const auto& item : items) out.push_back(oracle::flat(item));
  return out;
}

struct Rule {
  std::optional<std::uint64_t> every_events;
  std::optional<std::uint64_t> every_ts;
  bool strict;
};

const std::vector<Rule> rules = {
    {std::nullopt, std::nullopt, false}, {2, std::nullopt, false}, {std::nullopt, 10, false},
    {3, 25, false}, {1, 1, false}, {std::nullopt, std::nullopt, true}, {4, 10, true},
};

TEST(LineFeeder, AgreesWithTheCommandRouteOnAHostileRecording) {
  for (const Rule& rule : rules) {
    std::vector<RadarHandle> oracle_radars = radars();
    const auto expected =
        oracle::replay_by_commands(hostile, oracle_radars, rule.every_events, rule.every_ts, rule.strict);
    replay::LineFeeder* feeder = nullptr;
    const auto got = by_feeder({hostile}, rule.every_events, rule.every_ts, rule.strict, &feeder);
    ASSERT_EQ(got, expected.items) << rule.every_events.value_or(0) << " " << rule.every_ts.value_or(0);
    EXPECT_EQ(feeder->events(), expected.events);
    EXPECT_EQ(feeder->bad_lines(), expected.bad_lines);
    EXPECT_EQ(feeder->stopped(), expected.stopped);
    EXPECT_GT(expected.bad_lines, rule.strict ? 0u : 20u);
  }
}

// Two blocks cut at every position (inside a line, a CR LF, a multi-byte
// character and the byte-order mark), then random small blocks.
TEST(LineFeeder, BlocksMayCutTheInputAnywhere) {
  std::vector<RadarHandle> oracle_radars = radars();
  const auto expected = oracle::replay_by_commands(hostile, oracle_radars, 3, 25, false).items;
  const std::string_view all = hostile;
  for (std::size_t cut = 0; cut <= all.size(); ++cut) {
    ASSERT_EQ(by_feeder({all.substr(0, cut), all.substr(cut)}, 3, 25, false), expected) << cut;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string_view> blocks;
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t size = random() % 9;
      blocks.push_back(all.substr(at, size));
      at += size;
    }
    ASSERT_EQ(by_feeder(blocks, 3, 25, false), expected) << round;
  }
}

// More accepted lines between checkpoints than the feeder keeps pending.
TEST(LineFeeder, ManyLinesBetweenCheckpointsAgree) {
  std::string recording;
  for (int i = 0; i < 12'000; ++i) {
    recording += R"({"symbol":"S)" + std::to_string(i % 7) + R"(","event":["derivatives",)" +
                 std::to_string(i) + "," + std::to_string(100 + i % 13) + "," +
                 (i % 3 == 0 ? "-0.0004" : "0.0003") + ",5]}\n";
  }
  std::vector<RadarHandle> oracle_radars = radars();
  const auto expected = oracle::replay_by_commands(recording, oracle_radars, 9'000, std::nullopt, false);
  EXPECT_EQ(by_feeder({recording}, 9'000, std::nullopt, false), expected.items);
}

std::size_t text_of(const replay::FeederItem& item) {
  if (const auto* checkpoint = std::get_if<replay::Checkpoint>(&item)) {
    std::size_t size = 0;
    for (const std::string& reply : checkpoint->replies) size += reply.size();
    return size;
  }
  const auto& bad = std::get<replay::BadLine>(item);
  return bad.message.size() + (bad.field ? bad.field->size() : 0);
}

// A call stops once its items fill the room, whatever the block holds, and
// resuming gives what one unbounded call would have.
TEST(LineFeeder, ACallStopsAtItsRoomAndResumes) {
  std::string recording;
  for (int i = 0; i < 3'000; ++i) {
    recording += R"({"symbol":"S)" + std::to_string(i % 5) + R"(","event":["derivatives",)" +
                 std::to_string(i) + ",100," + (i % 2 == 0 ? "-0.0004" : "0.0003") + ",5]}\n";
    if (i % 700 == 0) recording += "not json\n";
  }
  for (const Rule& rule : rules) {
    std::vector<RadarHandle> oracle_radars = radars();
    const auto expected =
        oracle::replay_by_commands(recording, oracle_radars, rule.every_events, rule.every_ts, rule.strict);
    for (std::size_t room : {std::size_t{1}, std::size_t{5'000}}) {
      ASSERT_EQ(by_feeder({recording}, rule.every_events, rule.every_ts, rule.strict, nullptr, room),
                expected.items)
          << room;
    }
  }
  constexpr std::size_t room = 5'000;
  replay::LineFeeder feeder(radars(), {1, std::nullopt}, false, {}, room);
  std::vector<replay::FeederItem> items;
  feeder.feed(recording, items);
  std::size_t calls = 1;
  for (;;) {
    std::size_t given = 0;
    for (std::size_t i = 0; i + 1 < items.size(); ++i) given += text_of(items[i]);
    EXPECT_LT(given, room) << calls;  // the last item of a call may cross the room
    if (!feeder.pending()) break;
    items.clear();
    feeder.resume(items);
    ++calls;
  }
  EXPECT_GT(calls, 100u);
  EXPECT_EQ(feeder.events(), 3'000u);
}

TEST(LineFeeder, AnIncompleteEndDropsTheCarriedLine) {
  const std::string text = R"({"symbol":"A","event":["derivatives",1,1,1,1]})" "\n"
                           R"({"symbol":"B","event":["deriv)";
  replay::LineFeeder feeder(radars(), {}, false);
  std::vector<replay::FeederItem> items;
  feeder.feed(text, items);
  feeder.finish(false, items);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(std::get<replay::Checkpoint>(items[0]).events, 1u);
  EXPECT_EQ(feeder.lines(), 1u);
  EXPECT_EQ(feeder.symbols(), 1u);
}

TEST(LineFeeder, AnEmptyInputHasOneCheckpointAndAShortStartIsNoMark) {
  for (std::string_view text : {"", "\xEF\xBB", "\xEF\xBB\xBF", "\n\n"}) {
    std::vector<RadarHandle> oracle_radars = radars();
    EXPECT_EQ(by_feeder({text}, std::nullopt, std::nullopt, false),
              oracle::replay_by_commands(text, oracle_radars, std::nullopt, std::nullopt, false).items);
  }
}

}  // namespace
}  // namespace fenmor
