// Decoding market events from parsed documents: results, messages and the
// order in which faults are reported.

#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "crates/radar-core/src/event_decode.hpp"
#include "crates/radar-core/src/protocol/command_members.hpp"
#include "json/document.hpp"

namespace fenmor {
namespace {

static_assert(sizeof(Side) == 1);
static_assert(std::is_trivially_copyable_v<Event>);

// Parses `text` (which must be valid JSON) and hands its root to `decode`.
template <class Decode>
auto decode_text(std::string_view text, Decode decode) {
  json::Document document;
  auto root = json::parse_document(text, document);
  EXPECT_TRUE(root.has_value()) << "not JSON: " << text;
  return decode(root ? **root : json::Node::null());
}

std::expected<Event, RadarError> event_of(std::string_view text) {
  return decode_text(text, [](const json::Node& n) { return decode_event(n); });
}

// ---------------------------------------------------------------- successes

struct Decoded {
  std::string_view text;
  Event expected;
};

void PrintTo(const Decoded& d, std::ostream* out) { *out << d.text; }

class DecodesEvent : public testing::TestWithParam<Decoded> {};

TEST_P(DecodesEvent, ToTheExpectedValue) {
  auto event = event_of(GetParam().text);
  ASSERT_TRUE(event.has_value()) << event.error().message;
  EXPECT_EQ(*event, GetParam().expected);
}

constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    ObjectAndArrayForms, DecodesEvent,
    testing::Values(
        // Integers become floats; negative rates are accepted.
        Decoded{R"({"kind":"derivatives","ts":1,"open_interest":100,"funding_rate":-0.0002,)"
                R"("mark_price":50000})",
                Derivatives{1, 100.0, -0.0002, 50000.0}},
        // Negative timestamps and zero values are not judged.
        Decoded{R"({"kind":"orderbook","ts":-5,"bid_volume":0,"ask_volume":0,"best_bid":0,)"
                R"("best_ask":0})",
                Orderbook{-5, 0, 0, 0, 0}},
        // Unknown members are ignored whatever they hold.
        Decoded{R"({"kind":"orderbook","symbol":"BTCUSDT","ts":1,"bid_volume":1,)"
                R"("ask_volume":2,"best_bid":3,"best_ask":4,"note":[1,{}]})",
                Orderbook{1, 1, 2, 3, 4}},
        // A repeated name keeps its last value, the tag included.
        Decoded{R"({"kind":"orderbook","kind":"derivatives","ts":1,"open_interest":2,)"
                R"("funding_rate":3,"mark_price":4})",
                Derivatives{1, 2, 3, 4}},
        Decoded{R"({"kind":"liquidation","ts":1700000000000,"side":"sell","qty":2.5,)"
                R"("price":64000.5})",
                Liquidation{1700000000000, Side::Sell, 2.5, 64000.5}},
        Decoded{R"({"price":1,"qty":2,"side":{"sell":null},"ts":3,"kind":"liquidation"})",
                Liquidation{3, Side::Sell, 2, 1}},
        Decoded{R"({"kind":"liquidation","ts":3,"side":{"sell":{}},"qty":2,"price":1})",
                Liquidation{3, Side::Sell, 2, 1}},
        Decoded{R"({"kind":"liquidation","ts":3,"side":{"buy":null},"qty":2,"price":1})",
                Liquidation{3, Side::Buy, 2, 1}},
        // The extremes of the timestamp range.
        Decoded{R"(["liquidation",-9223372036854775808,"buy",2.0,3.0])",
                Liquidation{i64_min, Side::Buy, 2, 3}},
        Decoded{R"(["orderbook",9223372036854775807,1,2,3,4])",
                Orderbook{i64_max, 1, 2, 3, 4}},
        Decoded{R"(["derivatives",0,18446744073709551615,-1e-300,0.5])",
                Derivatives{0, 18446744073709551615.0, -1e-300, 0.5}}),
    test::NamedBy<&Decoded::text>{});

// ------------------------------------------------------------------ failures

struct Rejected {
  std::string_view text;
  std::string_view message;
};

void PrintTo(const Rejected& r, std::ostream* out) { *out << r.text; }

class RejectsEvent : public testing::TestWithParam<Rejected> {};

TEST_P(RejectsEvent, WithItsMessage) {
  auto event = event_of(GetParam().text);
  ASSERT_FALSE(event.has_value()) << "decoded: " << GetParam().text;
  EXPECT_EQ(event.error().kind, ErrorKind::Parse);
  EXPECT_EQ(event.error().message, GetParam().message);
}

constexpr std::string_view unknown_kind_swap =
    "unknown variant `swap`, expected one of `derivatives`, `orderbook`, `liquidation`";

INSTANTIATE_TEST_SUITE_P(
    NodeAndTag, RejectsEvent,
    testing::Values(
        Rejected{"null", "invalid type: null, expected internally tagged enum Event"},
        Rejected{"5", "invalid type: integer `5`, expected internally tagged enum Event"},
        Rejected{R"("x")", R"(invalid type: string "x", expected internally tagged enum Event)"},
        Rejected{R"({"ts":1})", "missing field `kind`"},
        Rejected{"{}", "missing field `kind`"},
        Rejected{"[]", "missing field `kind`"},
        Rejected{R"({"kind":5})", "invalid type: integer `5`, expected variant identifier"},
        Rejected{R"({"kind":null})", "invalid type: null, expected variant identifier"},
        Rejected{R"({"kind":"Derivatives","ts":1,"open_interest":1,"funding_rate":1,)"
                 R"("mark_price":1})",
                 "unknown variant `Derivatives`, expected one of `derivatives`, `orderbook`, "
                 "`liquidation`"},
        // The tag is judged before any field, even one whose name sorts first.
        Rejected{R"({"funding_rate":"x","kind":"swap"})", unknown_kind_swap},
        Rejected{R"({"ask_volume":null,"kind":7})",
                 "invalid type: integer `7`, expected variant identifier"}),
    test::NamedBy<&Rejected::text>{});

INSTANTIATE_TEST_SUITE_P(
    Fields, RejectsEvent,
    testing::Values(
        Rejected{R"({"kind":"derivatives"})", "missing field `ts`"},
        // Missing fields are reported in declaration order, not name order.
        Rejected{R"({"kind":"derivatives","ts":1,"open_interest":1})",
                 "missing field `funding_rate`"},
        Rejected{R"({"kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":1,"best_bid":1})",
                 "missing field `best_ask`"},
        Rejected{R"({"kind":"liquidation","ts":1,"qty":1,"price":1})", "missing field `side`"},
        // A faulty value is reported before a missing field.
        Rejected{R"({"kind":"derivatives","ts":"x"})",
                 R"(invalid type: string "x", expected i64)"},
        // Of two faulty fields, the one whose name sorts first.
        Rejected{R"({"kind":"derivatives","ts":1,"open_interest":1,"mark_price":null,)"
                 R"("funding_rate":"x"})",
                 R"(invalid type: string "x", expected f64)"},
        Rejected{R"({"kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":[],"best_bid":{},)"
                 R"("best_ask":1})",
                 "invalid type: sequence, expected f64"},
        Rejected{R"({"kind":"derivatives","ts":1,"open_interest":null,"funding_rate":1,)"
                 R"("mark_price":1})",
                 "invalid type: null, expected f64"}),
    test::NamedBy<&Rejected::text>{});

// A liquidation whose `side` is the given JSON.
std::string with_side(std::string_view side) {
  return std::string(R"({"kind":"liquidation","ts":1,"qty":1,"price":1,"side":)") +
         std::string(side) + "}";
}

// One field's JSON and the message it must give.
struct FieldCase {
  std::string_view json;
  std::string_view message;
};

void PrintTo(const FieldCase& c, std::ostream* out) { *out << c.json; }

class RejectsSide : public testing::TestWithParam<FieldCase> {};

TEST_P(RejectsSide, WithItsMessage) {
  auto event = event_of(with_side(GetParam().json));
  ASSERT_FALSE(event.has_value()) << GetParam().json;
  EXPECT_EQ(event.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RejectsSide,
    testing::Values(
        FieldCase{R"("BUY")", "unknown variant `BUY`, expected `buy` or `sell`"},
        FieldCase{R"("")", "unknown variant ``, expected `buy` or `sell`"},
        FieldCase{"{}", "invalid value: map, expected map with a single key"},
        FieldCase{R"({"buy":null,"sell":null})",
                 "invalid value: map, expected map with a single key"},
        FieldCase{R"({"buy":1})", "invalid type: integer `1`, expected unit"},
        FieldCase{R"({"sell":[]})", "invalid type: sequence, expected unit"},
        FieldCase{R"({"sell":{"a":null}})", "invalid type: map, expected unit"},
        // The name is judged before the value.
        FieldCase{R"({"Sell":1})", "unknown variant `Sell`, expected `buy` or `sell`"},
        FieldCase{"0", "invalid type: integer `0`, expected string or map"},
        FieldCase{"null", "invalid type: null, expected string or map"},
        FieldCase{R"(["buy"])", "invalid type: sequence, expected string or map"}),
    test::NamedBy<&FieldCase::json>{});

// A derivatives event whose `ts` is the given JSON.
std::string with_ts(std::string_view ts) {
  return std::string(R"({"kind":"derivatives","open_interest":1,"funding_rate":1,)"
                     R"("mark_price":1,"ts":)") +
         std::string(ts) + "}";
}

class RejectsTs : public testing::TestWithParam<FieldCase> {};

TEST_P(RejectsTs, WithItsMessage) {
  auto event = event_of(with_ts(GetParam().json));
  ASSERT_FALSE(event.has_value()) << GetParam().json;
  EXPECT_EQ(event.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RejectsTs,
    testing::Values(
        // Whole floats are still floats.
        FieldCase{"1.0", "invalid type: floating point `1.0`, expected i64"},
        FieldCase{"1e3", "invalid type: floating point `1000.0`, expected i64"},
        FieldCase{"-0", "invalid type: floating point `-0.0`, expected i64"},
        FieldCase{"5.5", "invalid type: floating point `5.5`, expected i64"},
        // Below the signed range a literal is read as a float.
        FieldCase{"-9223372036854775809",
                 "invalid type: floating point `-9.223372036854776e+18`, expected i64"},
        FieldCase{"9223372036854775808",
                 "invalid value: integer `9223372036854775808`, expected i64"},
        FieldCase{"18446744073709551615",
                 "invalid value: integer `18446744073709551615`, expected i64"},
        FieldCase{R"("1")", R"(invalid type: string "1", expected i64)"},
        FieldCase{"null", "invalid type: null, expected i64"},
        FieldCase{"[1]", "invalid type: sequence, expected i64"},
        FieldCase{"{}", "invalid type: map, expected i64"}),
    test::NamedBy<&FieldCase::json>{});

INSTANTIATE_TEST_SUITE_P(
    ArrayForm, RejectsEvent,
    testing::Values(
        Rejected{R"(["liquidation",1,"buy"])",
                 "invalid length 2, expected struct variant Event::Liquidation with 4 elements"},
        Rejected{R"(["derivatives"])",
                 "invalid length 0, expected struct variant Event::Derivatives with 4 elements"},
        Rejected{R"(["orderbook",1,2,3])",
                 "invalid length 3, expected struct variant Event::Orderbook with 5 elements"},
        Rejected{R"(["orderbook",1,1,1,1,1,"x"])",
                 "invalid length 6, expected 5 elements in sequence"},
        Rejected{R"(["liquidation",1,"buy",1,1,null])",
                 "invalid length 5, expected 4 elements in sequence"},
        Rejected{R"([{"kind":"derivatives"}])", "invalid type: map, expected variant identifier"},
        Rejected{R"(["swap",1,2,3,4])", unknown_kind_swap},
        // Elements are judged in order: a bad field before running out ...
        Rejected{R"(["liquidation",1,"BUY"])",
                 "unknown variant `BUY`, expected `buy` or `sell`"},
        // ... and before the surplus.
        Rejected{R"(["derivatives",1,2,3,"x",5])", R"(invalid type: string "x", expected f64)"},
        Rejected{R"(["orderbook","1",2,3,4,5])", R"(invalid type: string "1", expected i64)"}),
    test::NamedBy<&Rejected::text>{});

// --------------------------------------------------------------------- lists

std::expected<EventList, RadarError> list_of(std::string_view text) {
  return decode_text(text, [](const json::Node& n) { return decode_event_list(n); });
}

std::expected<SymbolEvents, RadarError> map_of(std::string_view text) {
  return decode_text(text, [](const json::Node& n) { return decode_symbol_events(n); });
}

TEST(DecodeEventList, KeepsArrayOrder) {
  auto list = list_of(R"([["liquidation",3,"sell",1,2],)"
                      R"({"kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,)"
                      R"("best_bid":3,"best_ask":4},["derivatives",2,1,2,3]])");
  ASSERT_TRUE(list.has_value()) << list.error().message;
  const EventList expected = {Liquidation{3, Side::Sell, 1, 2}, Orderbook{1, 1, 2, 3, 4},
                              Derivatives{2, 1, 2, 3}};
  EXPECT_EQ(*list, expected);
}

TEST(DecodeEventList, EmptyArrayIsEmptyList) {
  auto list = list_of("[]");
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(list->empty());
}

TEST(DecodeEventList, Failures) {
  const Rejected cases[] = {
      {R"({"kind":"derivatives","ts":1,"open_interest":1,"funding_rate":1,"mark_price":1})",
       "invalid type: map, expected a sequence"},
      {"null", "invalid type: null, expected a sequence"},
      {R"("[]")", R"(invalid type: string "[]", expected a sequence)"},
      // The third element fails the list, and the message does not say where.
      {R"([["derivatives",1,1,1,1],["derivatives",2,1,1,1],["derivatives",3,1,1],)"
       R"(["derivatives",4,"x",1,1]])",
       "invalid length 3, expected struct variant Event::Derivatives with 4 elements"},
      {R"([["derivatives",1,1,1,1],null])",
       "invalid type: null, expected internally tagged enum Event"},
  };
  for (const Rejected& c : cases) {
    auto list = list_of(c.text);
    ASSERT_FALSE(list.has_value()) << c.text;
    EXPECT_EQ(list.error().message, c.message) << c.text;
  }
}

TEST(DecodeSymbolEvents, SymbolsInByteOrderWithTheirLists) {
  auto map = map_of(R"({"b":[["liquidation",1,"buy",2,3]],"B":[],"\u00e9":[],"":[],)"
                    R"("a":[["derivatives",5,1,2,3],["derivatives",6,4,5,6]],"ab":[]})");
  ASSERT_TRUE(map.has_value()) << map.error().message;
  std::vector<std::string> symbols;
  for (const auto& [symbol, events] : *map) symbols.push_back(symbol);
  EXPECT_EQ(symbols, (std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9"}));
  EXPECT_EQ((*map)[2].second, (EventList{Derivatives{5, 1, 2, 3}, Derivatives{6, 4, 5, 6}}));
  EXPECT_EQ((*map)[4].second, (EventList{Liquidation{1, Side::Buy, 2, 3}}));
}

TEST(DecodeSymbolEvents, EmptyObjectAndEmptyName) {
  auto empty = map_of("{}");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  auto one = map_of(R"({"":[]})");
  ASSERT_TRUE(one.has_value());
  ASSERT_EQ(one->size(), 1u);
  EXPECT_EQ((*one)[0].first, "");
  EXPECT_TRUE((*one)[0].second.empty());
}

TEST(DecodeSymbolEvents, Failures) {
  const Rejected cases[] = {
      {"[]", "invalid type: sequence, expected a map"},
      {"null", "invalid type: null, expected a map"},
      {R"({"a":[],"b":{}})", "invalid type: map, expected a sequence"},
      // Members are decoded in byte order of their names: "a" fails first.
      {R"({"b":5,"a":"x"})", R"(invalid type: string "x", expected a sequence)"},
      {R"({"ETH":[["derivatives",1,1,1,1]],"BTC":[[]]})", "missing field `kind`"},
  };
  for (const Rejected& c : cases) {
    auto map = map_of(c.text);
    ASSERT_FALSE(map.has_value()) << c.text;
    EXPECT_EQ(map.error().message, c.message) << c.text;
  }
}

}  // namespace
}  // namespace fenmor

namespace fenmor {
namespace {

// ------------------------------------------------------------ fault paths

struct PathCase {
  std::string_view text;
  std::string_view path;
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.text; }

class FaultPath : public testing::TestWithParam<PathCase> {};

// Decoded as a "feed_batch" events member, so the path is relative to it.
TEST_P(FaultPath, NamesTheMemberTheFaultIsIn) {
  auto events = decode_text(GetParam().text, [](const json::Node& n) { return decode_event_list(n); });
  ASSERT_FALSE(events.has_value());
  EXPECT_EQ(events.error().path(), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Events, FaultPath,
    testing::Values(
        PathCase{R"(5)", ""},
        PathCase{R"([5])", "[0]"},
        PathCase{R"([{"kind":"derivatives","ts":1.5}])", "[0].ts"},
        PathCase{R"([{"kind":"derivatives","ts":1,"open_interest":1,"mark_price":1}])", "[0]"},
        PathCase{R"([[], {}])", "[0]"},
        PathCase{R"([["derivatives",1,2,3,4], {"kind":"nope"}])", "[1].kind"},
        PathCase{R"([["derivatives",1,2,"x",4]])", "[0].funding_rate"},
        PathCase{R"([["liquidation",1,"up",1,1]])", "[0].side"},
        PathCase{R"([["orderbook",1,2,3,4,5,6]])", "[0]"},
        PathCase{R"([{"ts":1}])", "[0]"},
        PathCase{R"([[7]])", "[0].kind"}));

TEST(FaultPaths, SymbolEventsNameTheSymbolAndTheElement) {
  auto events = decode_text(R"({"A":[], "B":[["derivatives",1,2,3,4], ["derivatives",1,2,3,null]]})",
                            [](const json::Node& n) { return decode_symbol_events(n); });
  ASSERT_FALSE(events.has_value());
  EXPECT_EQ(events.error().path(), "B[1].mark_price");
  EXPECT_EQ(events.error().text(), "parse: invalid type: null, expected f64");
  EXPECT_EQ(std::move(events.error()).in_member("events").path(), "events.B[1].mark_price");
}

TEST(FaultPaths, CommandMemberLookupsNameTheMember) {
  json::Document document;
  auto root = json::parse_document(R"({"cmd":"feed","symbol":5})", document);
  ASSERT_TRUE(root.has_value());
  auto symbol = required_string(**root, "symbol");
  ASSERT_FALSE(symbol.has_value());
  EXPECT_EQ(symbol.error().path(), "symbol");
  EXPECT_EQ(symbol.error().text(), R"(bad spec: missing string "symbol")");
  auto event = required_member(**root, "event");
  ASSERT_FALSE(event.has_value());
  EXPECT_EQ(event.error().path(), "event");
  // A missing field of the event, seen from the command.
  auto decoded = decode_text(R"({"kind":"derivatives"})", [](const json::Node& n) { return decode_event(n); });
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(std::move(decoded.error()).in_member("event").path(), "event");
}

}  // namespace
}  // namespace fenmor
