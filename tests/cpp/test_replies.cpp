#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/protocol/replies.hpp"

namespace fenmor {
namespace {

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

std::string json_double(double value) {
  std::string out;
  append_json_double(out, value);
  return out;
}

struct EscapeCase {
  std::string_view text;
  std::string_view written;
};

class StringEscapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(StringEscapes, WritesOnlyTheMinimalEscapes) {
  EXPECT_EQ(json_string(GetParam().text), GetParam().written);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    Bytes, StringEscapes,
    ::testing::Values(
        EscapeCase{"", R"("")"}, EscapeCase{"plain", R"("plain")"},
        EscapeCase{"a\"b", R"("a\"b")"}, EscapeCase{"a\\b", R"("a\\b")"},
        EscapeCase{"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        EscapeCase{"\x01x", R"("\u0001x")"}, EscapeCase{"\x1f", R"("\u001f")"},
        EscapeCase{"\x0b", R"("\u000b")"}, EscapeCase{"\x00z"sv, R"("\u0000z")"},
        // Copied unchanged: slash, DEL and the bytes of non-ASCII characters.
        EscapeCase{"a/b", R"("a/b")"}, EscapeCase{"\x7f", "\"\x7f\""},
        EscapeCase{"\xc3\xa9\xe2\x82\xac", "\"\xc3\xa9\xe2\x82\xac\""},
        // A stray byte that is not UTF-8 is copied too: nothing is lost.
        EscapeCase{"\xff", "\"\xff\""},
        EscapeCase{"mixed \"q\"\n/\\", R"("mixed \"q\"\n/\\")"}),
    test::NamedBy<&EscapeCase::written>{});

TEST(Doubles, FiniteValuesUseTheFloatText) {
  EXPECT_EQ(json_double(1.0), "1.0");
  EXPECT_EQ(json_double(0.000001), "1e-6");
  EXPECT_EQ(json_double(1e16), "1e+16");
  EXPECT_EQ(json_double(0.00000005), "5e-8");
  EXPECT_EQ(json_double(-0.0), "-0.0");
  EXPECT_EQ(json_double(0.75), "0.75");
}

TEST(Doubles, NonFiniteValuesAreNull) {
  EXPECT_EQ(json_double(std::numeric_limits<double>::quiet_NaN()), "null");
  EXPECT_EQ(json_double(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(json_double(-std::numeric_limits<double>::infinity()), "null");
}

TEST(Integers, PlainDecimalAtTheLimits) {
  std::string out;
  append_json_int(out, std::numeric_limits<std::int64_t>::min());
  out.push_back(' ');
  append_json_int(out, 0);
  out.push_back(' ');
  append_json_int(out, -5);
  out.push_back(' ');
  append_json_uint(out, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(out, "-9223372036854775808 0 -5 18446744073709551615");
}

TEST(ErrorReply, EscapesTheTextAndSortsTheMembers) {
  struct Case {
    RadarError error;
    std::string_view reply;
  };
  const Case cases[] = {
      {RadarError::bad_spec("unknown cmd: x"), R"({"error":"bad spec: unknown cmd: x","ok":false})"},
      {RadarError::bad_spec(R"(missing "cmd")"), R"({"error":"bad spec: missing \"cmd\"","ok":false})"},
      {RadarError::bad_spec("unknown cmd: \x01x"), R"({"error":"bad spec: unknown cmd: \u0001x","ok":false})"},
      {RadarError::parse("a\nb\tc"), R"({"error":"parse: a\nb\tc","ok":false})"},
  };
  for (const Case& c : cases) {
    std::string out;
    write_error_reply(out, c.error);
    EXPECT_EQ(out, c.reply);
  }
}

TEST(ErrorReply, AppendsToWhatTheBufferHolds) {
  std::string out = "x";
  write_error_reply(out, RadarError::parse("m"));
  EXPECT_EQ(out, R"(x{"error":"parse: m","ok":false})");
}

TEST(AlertsReply, EmptyResult) {
  std::string out;
  write_alerts_reply(out, ScanResult{{"funding_flip(0.0001)", "severity"}, {}, 3});
  EXPECT_EQ(out, R"({"alerts":[],"scanned":3})");
}

TEST(AlertsReply, FixedMemberOrderAndNumberForms) {
  ScanResult result;
  result.factor_names = {"oi_delta(12,0.05)", "oi_delta(3,0.05)", "severity"};
  result.scanned = 5;
  result.alerts.push_back(Alert{"BTCUSDT", 1.0, {1.0, 0.00000005, 1.0}, 2});
  result.alerts.push_back(Alert{"\xc3\xa9th\"", std::numeric_limits<double>::quiet_NaN(),
                                {std::numeric_limits<double>::infinity(), -0.0, 0.5},
                                std::numeric_limits<std::int64_t>::min()});
  std::string out;
  write_alerts_reply(out, result);
  EXPECT_EQ(out,
            R"({"alerts":[)"
            R"j({"symbol":"BTCUSDT","severity":1.0,"factors":{"oi_delta(12,0.05)":1.0,"oi_delta(3,0.05)":5e-8,"severity":1.0},"ts":2},)j"
            "{\"symbol\":\"\xc3\xa9th\\\"\",\"severity\":null,\"factors\":{\"oi_delta(12,0.05)\":null,"
            R"j("oi_delta(3,0.05)":-0.0,"severity":0.5},"ts":-9223372036854775808})j"
            R"(],"scanned":5})");
}

// The writer sizes each alert's room in advance: an alert at every extreme
// at once must fit it (the writer asserts so) and read as the plain
// appenders write it. Symbols reach the writer unchecked, so the longest one
// is all control bytes, six bytes of text each. With one factor the room
// has no slack from the factors to hide a short count elsewhere.
TEST(AlertsReply, FitsItsRoomAtTheExtremes) {
  const double longest = -2.2250738585072014e-308;  // the longest float text
  for (const int factors : {0, 200}) {
    ScanResult result;
    for (int i = 0; i < factors; ++i) {
      result.factor_names.push_back("oi_delta(" + std::to_string(i) + ",\x01)");
    }
    result.factor_names.emplace_back("severity");
    const std::string symbol(4096, '\x01');
    result.alerts.push_back(Alert{symbol, longest,
                                  std::vector<double>(result.factor_names.size(), longest),
                                  std::numeric_limits<std::int64_t>::min()});
    result.alerts.push_back(result.alerts.front());
    result.scanned = std::numeric_limits<std::uint64_t>::max();

    std::string alert = R"({"symbol":)";
    append_json_string(alert, symbol);
    alert += R"(,"severity":)";
    append_json_double(alert, longest);
    alert += R"(,"factors":{)";
    for (std::size_t i = 0; i < result.factor_names.size(); ++i) {
      if (i > 0) alert += ',';
      append_json_string(alert, result.factor_names[i]);
      alert += ':';
      append_json_double(alert, longest);
    }
    alert += R"(},"ts":-9223372036854775808})";

    std::string out;
    write_alerts_reply(out, result);
    EXPECT_EQ(out, R"({"alerts":[)" + alert + "," + alert + R"(],"scanned":18446744073709551615})");
  }
}

}  // namespace
}  // namespace fenmor
