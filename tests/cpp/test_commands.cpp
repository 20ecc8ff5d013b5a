#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <string>
#include <string_view>

#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor {
namespace {

constexpr std::string_view funding_spec =
    R"({"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.5})";

constexpr std::string_view feed_1 =
    R"({"cmd":"feed","symbol":"BTCUSDT","event":{"kind":"derivatives","ts":1,"open_interest":100.0,"funding_rate":0.0003,"mark_price":50000.0}})";
constexpr std::string_view batch_2 =
    R"({"cmd":"feed_batch","symbol":"BTCUSDT","events":[{"kind":"derivatives","ts":2,"open_interest":101.0,"funding_rate":-0.0002,"mark_price":50010.0}]})";
constexpr std::string_view flipped_alerts =
    R"j({"alerts":[{"symbol":"BTCUSDT","severity":1.0,"factors":{"funding_flip(0.0001)":1.0,"severity":1.0},"ts":2}],"scanned":1})j";

RadarHandle make_radar(std::string_view spec_text = funding_spec) {
  auto spec = decode_spec_text(spec_text);
  EXPECT_TRUE(spec.has_value());
  auto compiled = CompiledSpec::compile(std::move(*spec));
  EXPECT_TRUE(compiled.has_value());
  return RadarHandle(std::move(*compiled));
}

std::string run(RadarHandle& radar, std::string_view text) { return std::string(radar.command(text)); }

std::string error_reply(std::string_view text) {
  std::string out = R"({"error":")";
  out.append(text);
  out.append(R"(","ok":false})");
  return out;
}

TEST(Commands, WorkedExampleOfTheScanningCommands) {
  RadarHandle radar = make_radar();
  EXPECT_EQ(run(radar, feed_1), R"({"ok":true})");
  EXPECT_EQ(run(radar, R"({"cmd":"alerts"})"), R"({"alerts":[],"scanned":1})");
  EXPECT_EQ(run(radar, batch_2), R"({"ok":true})");
  EXPECT_EQ(run(radar, R"({"cmd":"alerts"})"), flipped_alerts);
  EXPECT_EQ(run(radar, R"({"cmd":"reset"})"), R"({"ok":true})");
  EXPECT_EQ(run(radar, R"({"cmd":"alerts"})"), R"({"alerts":[],"scanned":0})");
}

struct ProtocolCase {
  std::string_view command;
  std::string_view error;  // as written inside the reply
};

class ProtocolErrors : public ::testing::TestWithParam<ProtocolCase> {};

TEST_P(ProtocolErrors, AnswerTheirMessageAndChangeNothing) {
  RadarHandle radar = make_radar();
  ASSERT_EQ(run(radar, feed_1), R"({"ok":true})");
  EXPECT_EQ(run(radar, GetParam().command), error_reply(GetParam().error));
  EXPECT_EQ(radar.dataset().len(), 1u);
  EXPECT_EQ(run(radar, batch_2), R"({"ok":true})");
  EXPECT_EQ(run(radar, R"({"cmd":"alerts"})"), flipped_alerts);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ProtocolErrors,
    ::testing::Values(
        ProtocolCase{"", "parse: EOF while parsing a value at line 1 column 0"},
        ProtocolCase{R"({"cmd":"version"} x)", "parse: trailing characters at line 1 column 19"},
        ProtocolCase{"[]", R"(bad spec: missing \"cmd\")"},
        ProtocolCase{"{}", R"(bad spec: missing \"cmd\")"},
        ProtocolCase{R"({"cmd":5})", R"(bad spec: missing \"cmd\")"},
        ProtocolCase{R"({"cmd":"Feed"})", "bad spec: unknown cmd: Feed"},
        ProtocolCase{R"({"cmd":"a\"b\\c\n"})", R"(bad spec: unknown cmd: a\"b\\c\n)"},
        ProtocolCase{R"({"cmd":"feed"})", R"(bad spec: missing string \"symbol\")"},
        ProtocolCase{R"({"cmd":"feed","symbol":5,"event":{}})",
                     R"(bad spec: missing string \"symbol\")"},
        ProtocolCase{R"({"cmd":"feed","symbol":"X","event":null})",
                     "parse: invalid type: null, expected internally tagged enum Event"},
        ProtocolCase{R"({"cmd":"feed_batch","symbol":"X"})", R"(bad spec: missing \"events\")"},
        ProtocolCase{R"({"cmd":"feed_batch","events":[]})", R"(bad spec: missing string \"symbol\")"},
        ProtocolCase{R"({"cmd":"feed_batch","symbol":"X","events":{"kind":"derivatives"}})",
                     "parse: invalid type: map, expected a sequence"},
        ProtocolCase{R"({"cmd":"scan"})", R"(bad spec: missing \"events\")"},
        ProtocolCase{R"({"cmd":"scan","events":[]})", "parse: invalid type: sequence, expected a map"},
        ProtocolCase{R"({"cmd":"set_spec"})", R"(bad spec: missing \"spec\")"},
        ProtocolCase{R"({"cmd":"set_spec","spec":{"signals":[]}})",
                     "bad spec: at least one signal is required"},
        ProtocolCase{R"({"cmd":"set_spec","spec":{}})", "parse: missing field `signals`"}),
    test::NamedBy<&ProtocolCase::command>{});

TEST(Commands, FeedBatchWithABadThirdEventAppliesNone) {
  RadarHandle radar = make_radar();
  const std::string bad_batch =
      R"({"cmd":"feed_batch","symbol":"BTCUSDT","events":[)"
      R"(["derivatives",1,100.0,0.0003,50000.0],["derivatives",2,100.0,-0.0003,50000.0],)"
      R"(["derivatives","3",100.0,0.0003,50000.0]]})";
  EXPECT_EQ(run(radar, bad_batch), error_reply(R"(parse: invalid type: string \"3\", expected i64)"));
  EXPECT_EQ(radar.dataset().len(), 0u);
  EXPECT_EQ(run(radar, R"({"cmd":"alerts"})"), R"({"alerts":[],"scanned":0})");
}

TEST(Commands, EmptyBatchCreatesNoState) {
  RadarHandle radar = make_radar();
  EXPECT_EQ(run(radar, R"({"cmd":"feed_batch","symbol":"X","events":[]})"), R"({"ok":true})");
  EXPECT_EQ(radar.dataset().len(), 0u);
}

TEST(Commands, RejectedSetSpecKeepsSpecAndStates) {
  RadarHandle radar = make_radar();
  ASSERT_EQ(run(radar, feed_1), R"({"ok":true})");
  EXPECT_EQ(
      run(radar,
          R"({"cmd":"set_spec","spec":{"signals":[{"kind":"funding_flip","params":[1,2]}]}})"),
      error_reply("bad spec: funding_flip takes 1 parameter(s), got 2"));
  EXPECT_EQ(radar.spec().threshold, 0.5);
  EXPECT_EQ(radar.dataset().len(), 1u);
  EXPECT_EQ(run(radar, batch_2), R"({"ok":true})");
  EXPECT_EQ(run(radar, R"({"cmd":"alerts"})"), flipped_alerts);
}

TEST(Commands, ScanEqualsAlertsOfAFreshRadarAndTouchesNoState) {
  RadarHandle fed = make_radar();
  ASSERT_EQ(run(fed, feed_1), R"({"ok":true})");
  ASSERT_EQ(run(fed, batch_2), R"({"ok":true})");

  RadarHandle scanner = make_radar();
  ASSERT_EQ(run(scanner, feed_1), R"({"ok":true})");
  const std::string before = run(scanner, R"({"cmd":"alerts"})");
  const std::string scanned = run(
      scanner,
      R"({"cmd":"scan","events":{"BTCUSDT":[)"
      R"({"kind":"derivatives","ts":1,"open_interest":100.0,"funding_rate":0.0003,"mark_price":50000.0},)"
      R"({"kind":"derivatives","ts":2,"open_interest":101.0,"funding_rate":-0.0002,"mark_price":50010.0}]}})");
  EXPECT_EQ(scanned, run(fed, R"({"cmd":"alerts"})"));
  EXPECT_EQ(run(scanner, R"({"cmd":"alerts"})"), before);
}

TEST(Commands, NestingLimitAndHugeInputAnswerErrors) {
  RadarHandle radar = make_radar();
  EXPECT_EQ(run(radar, std::string(1'000'000, '[')),
            error_reply("parse: recursion limit exceeded at line 1 column 128"));
  // 127 levels, the command object included, are read.
  std::string deep = R"({"cmd":"version","x":)" + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_EQ(run(radar, deep), R"({"version":"0.2.0"})");
  std::string too_deep = R"({"cmd":"version","x":)" + std::string(127, '[');
  EXPECT_EQ(run(radar, too_deep),
            error_reply("parse: recursion limit exceeded at line 1 column 148"));

  std::string huge = R"({"cmd":"feed_batch","symbol":"X","events":[)";
  for (int i = 0; i < 200'000; ++i) huge.append(R"(["orderbook",1,1,1,1,1],)");
  huge.append("null]}");
  EXPECT_EQ(run(radar, huge),
            error_reply("parse: invalid type: null, expected internally tagged enum Event"));
  EXPECT_EQ(radar.dataset().len(), 0u);
  EXPECT_EQ(run(radar, R"({"cmd":"version"})"), R"({"version":"0.2.0"})");
}

TEST(Commands, ReplyViewStaysValidUntilTheNextCommand) {
  RadarHandle radar = make_radar();
  std::string_view first = radar.command(R"({"cmd":"x"})");
  EXPECT_EQ(first, error_reply("bad spec: unknown cmd: x"));
  EXPECT_EQ(radar.command(R"({"cmd":"version"})"), R"({"version":"0.2.0"})");
}

}  // namespace
}  // namespace fenmor
