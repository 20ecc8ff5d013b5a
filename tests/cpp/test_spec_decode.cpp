// Reading a spec: the text route (positions, text order, repeated names) and
// the document route (byte order of names, no positions).

#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <string>

#include "crates/radar-core/src/spec_decode.hpp"

namespace {

const std::string unknown_kind =
    "expected one of `oi_delta`, `funding_flip`, `book_imbalance`, `liq_cluster`, "
    "`oi_price_divergence`";

std::string from_text(std::string_view text) {
  auto spec = fenmor::decode_spec_text(text);
  return spec ? "ok" : spec.error().text();
}

std::string from_document(std::string_view text) {
  fenmor::json::Document doc;
  auto root = fenmor::json::parse_document(text, doc);
  if (!root) return "document: " + root.error().describe();
  auto spec = fenmor::decode_spec_document(**root);
  return spec ? "ok" : spec.error().text();
}

struct Case {
  std::string text;
  std::string text_route;
  std::string document_route;
};

class SpecDecoding : public testing::TestWithParam<Case> {};

TEST_P(SpecDecoding, BothRoutes) {
  const Case& c = GetParam();
  EXPECT_EQ(from_text(c.text), c.text_route) << c.text;
  if (c.document_route != "-") {
    EXPECT_EQ(from_document(c.text), c.document_route) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Spec, SpecDecoding,
    testing::Values(
        Case{"", "parse: EOF while parsing a value at line 1 column 0", "-"},
        Case{"{}", "parse: missing field `signals` at line 1 column 2", "parse: missing field `signals`"},
        Case{R"({"signals": 5})", "parse: invalid type: integer `5`, expected a sequence at line 1 column 13",
             "parse: invalid type: integer `5`, expected a sequence"},
        Case{R"({"signals": [{"kind": "foo"}]})",
             "parse: unknown variant `foo`, " + unknown_kind + " at line 1 column 27",
             "parse: unknown variant `foo`, " + unknown_kind},
        Case{R"({"signals": [[]]})",
             "parse: invalid length 0, expected struct Signal with 3 elements at line 1 column 15",
             "parse: invalid length 0, expected struct Signal with 3 elements"},
        Case{R"({"signals": [], "signals": []})", "parse: duplicate field `signals` at line 1 column 25", "ok"},
        Case{R"({"threshold": [1], "signals": []})",
             "parse: invalid type: sequence, expected f64 at line 1 column 14",
             "parse: invalid type: sequence, expected f64"},
        Case{R"({"signals": []} x)", "parse: trailing characters at line 1 column 17", "-"},
        Case{"[[], [], [[\"funding_flip\", [0.0005]]], 0.5]", "ok", "ok"},
        Case{"[[], []]", "parse: invalid length 2, expected struct RadarSpec with 5 elements at line 1 column 8",
             "parse: invalid length 2, expected struct RadarSpec with 5 elements"},
        Case{"[]", "parse: invalid length 2, expected struct RadarSpec with 5 elements at line 1 column 2",
             "parse: invalid length 2, expected struct RadarSpec with 5 elements"},
        Case{"[[], [], [], 0, null, 6]", "parse: trailing characters at line 1 column 23",
             "parse: invalid length 6, expected fewer elements in array"},
        Case{"[[], [], [], 0, null,]", "parse: trailing comma at line 1 column 22", "-"},
        Case{R"({"signals": [["funding_flip", [1], 1, 2]]})",
             "parse: trailing characters at line 1 column 39",
             "parse: invalid length 4, expected fewer elements in array"},
        Case{"5", "parse: invalid type: integer `5`, expected struct RadarSpec at line 1 column 1",
             "parse: invalid type: integer `5`, expected struct RadarSpec"},
        Case{"\"x\"", "parse: invalid type: string \"x\", expected struct RadarSpec at line 1 column 3",
             "parse: invalid type: string \"x\", expected struct RadarSpec"},
        Case{R"({"signals": [{"kind": {"book_imbalance": null}, "params": [0.3]}]})", "ok", "ok"},
        Case{R"({"signals": [{"kind": {"book_imbalance": true}}]})",
             "parse: invalid type: boolean `true`, expected unit at line 1 column 45",
             "parse: invalid type: boolean `true`, expected unit"},
        Case{R"({"signals": [{"kind": {}}]})", "parse: expected value at line 1 column 24",
             "parse: invalid value: map, expected map with a single key"},
        Case{R"({"signals": [{"kind": 5}]})", "parse: expected value at line 1 column 23",
             "parse: invalid type: integer `5`, expected string or map"},
        Case{R"({"signals": [{"kind": "Oi_delta"}]})",
             "parse: unknown variant `Oi_delta`, " + unknown_kind + " at line 1 column 32",
             "parse: unknown variant `Oi_delta`, " + unknown_kind},
        Case{R"({"signals": [{"params": [1]}]})", "parse: missing field `kind` at line 1 column 28",
             "parse: missing field `kind`"},
        Case{R"({"signals": [{"kind": "funding_flip", "weight": 1, "weight": 2}]})",
             "parse: duplicate field `weight` at line 1 column 59", "ok"},
        Case{R"({"signals": [], "limit": 3.0})",
             "parse: invalid type: floating point `3.0`, expected usize at line 1 column 28",
             "parse: invalid type: floating point `3.0`, expected usize"},
        Case{R"({"signals": [], "limit": -1})",
             "parse: invalid value: integer `-1`, expected usize at line 1 column 27",
             "parse: invalid value: integer `-1`, expected usize"},
        Case{R"({"signals": [], "limit": "3"})",
             "parse: invalid type: string \"3\", expected usize at line 1 column 28",
             "parse: invalid type: string \"3\", expected usize"},
        Case{R"({"signals": [], "limit": null, "threshold": 1})", "ok", "ok"},
        Case{R"({"signals": [], "limit": 18446744073709551615})", "ok", "ok"},
        // A member the spec does not use is held to the grammar alone.
        Case{R"({"signals": [], "comment": {"a": [[[[]]]], "b": [1e400, -1e99999, "\ud800"]}})",
             "ok", "-"},
        Case{R"({"signals": [{"kind": "oi_delta", "params": [1, 2], "note": 1e400}]})", "ok", "-"},
        Case{R"({"signals": [], "x": {"\udc00": ["\ud800\u0041", "\ud800x"]}})", "ok", "-"},
        // Member names are decoded, skipped or not, with the faults of any other text.
        Case{R"({"\uDFAA":0})", "parse: lone leading surrogate in hex escape at line 1 column 8",
             "document: lone leading surrogate in hex escape at line 1 column 8"},
        Case{R"({"signals": [], "\ud800x": 1})",
             "parse: unexpected end of hex escape at line 1 column 24",
             "document: unexpected end of hex escape at line 1 column 24"},
        Case{R"({"signals": [{"kind": "funding_flip", "\ud800\u0041": 1}]})",
             "parse: lone leading surrogate in hex escape at line 1 column 51",
             "document: lone leading surrogate in hex escape at line 1 column 51"},
        // ... whose faults are the document reader's, at the same places.
        Case{R"({"signals": [], "x": [1, 01]})", "parse: invalid number at line 1 column 27",
             "document: invalid number at line 1 column 27"},
        Case{R"({"signals": [], "x": ["\ud80"]})", "parse: invalid escape at line 1 column 29",
             "document: invalid escape at line 1 column 29"},
        Case{R"({"signals": [], "x": 1.e5})", "parse: invalid number at line 1 column 24",
             "document: invalid number at line 1 column 24"},
        Case{R"({"signals": [], "x": 1e})", "parse: invalid number at line 1 column 24",
             "document: invalid number at line 1 column 24"},
        Case{R"({"signals": [], "x": -})", "parse: invalid number at line 1 column 23",
             "document: invalid number at line 1 column 23"},
        Case{R"({"signals": [], "x": "\ud800\u)", "parse: EOF while parsing a string at line 1 column 30",
             "document: EOF while parsing a string at line 1 column 30"},
        // A member it uses keeps every check.
        Case{R"({"signals": [], "threshold": 1e400})", "parse: number out of range at line 1 column 34",
             "-"},
        Case{R"({"venues": ["\ud800"], "signals": []})",
             "parse: unexpected end of hex escape at line 1 column 20", "-"},
        Case{R"({"signals": [], "comment": {"a": [[[[]]]]}, "x": [1,]})",
             "parse: trailing comma at line 1 column 53", "-"},
        Case{R"({"signals": [], "comment": {"a": [[[[]]]]}})", "ok", "ok"},
        Case{R"({"venues": ["a", 5], "signals": []})",
             "parse: invalid type: integer `5`, expected a string at line 1 column 18",
             "parse: invalid type: integer `5`, expected a string"},
        Case{R"({"signals": [{"kind": "funding_flip", "params": [1, "x"]}]})",
             "parse: invalid type: string \"x\", expected f64 at line 1 column 55",
             "parse: invalid type: string \"x\", expected f64"},
        Case{R"({"signals": [{"kind": "funding_flip", "params": [1, nul]}]})",
             "parse: expected ident at line 1 column 56", "-"},
        Case{R"({"signals": [{"kind": "funding_flip", "weight": null}]})",
             "parse: invalid type: null, expected f64 at line 1 column 52",
             "parse: invalid type: null, expected f64"},
        // Text order against byte order: the first fault differs.
        Case{R"({"venues": 5, "limit": -1, "signals": []})",
             "parse: invalid type: integer `5`, expected a sequence at line 1 column 12",
             "parse: invalid value: integer `-1`, expected usize"},
        Case{R"({"signals": [{"weight": "x", "kind": "nope"}]})",
             "parse: invalid type: string \"x\", expected f64 at line 1 column 27",
             "parse: unknown variant `nope`, " + unknown_kind},
        Case{"{\n  \"signals\": [\n    {\"kind\": \"foo\"}\n  ]\n}",
             "parse: unknown variant `foo`, " + unknown_kind + " at line 3 column 18", "-"},
        Case{R"({"signals" [], "x": 1})", "parse: expected `:` at line 1 column 12", "-"},
        Case{R"({"signals": [{"kind": "oi_delta"},]})", "parse: trailing comma at line 1 column 35", "-"}),
    fenmor::test::NamedBy<&Case::text>{});

TEST(SpecDecoding, DefaultsAndValues) {
  for (const auto route : {+[](std::string_view t) { return fenmor::decode_spec_text(t); },
                           +[](std::string_view t) {
                             fenmor::json::Document doc;
                             auto root = fenmor::json::parse_document(t, doc);
                             return fenmor::decode_spec_document(**root);
                           }}) {
    auto spec = route(R"({"signals": [{"kind": "funding_flip", "params": [0.0005]}]})");
    ASSERT_TRUE(spec);
    EXPECT_TRUE(spec->venues.empty());
    EXPECT_TRUE(spec->symbols.empty());
    EXPECT_EQ(spec->threshold, 0.0);
    EXPECT_FALSE(spec->limit.has_value());
    ASSERT_EQ(spec->signals.size(), 1u);
    EXPECT_EQ(spec->signals[0].kind, fenmor::IndicatorKind::FundingFlip);
    EXPECT_EQ(spec->signals[0].weight, 1.0);
    EXPECT_EQ(spec->signals[0].params, std::vector<double>{0.0005});

    auto full = route(
        R"({"limit": 3, "threshold": 1, "venues": ["binance"], "symbols": ["BTCUSDT", "ETHUSDT"],
            "signals": [["oi_delta", [12, 0.05], 2], {"weight": 0, "kind": "liq_cluster", "params": [5, 1e6]}]})");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->limit, std::optional<std::uint64_t>(3));
    EXPECT_EQ(full->threshold, 1.0);
    EXPECT_EQ(full->venues, std::vector<std::string>{"binance"});
    EXPECT_EQ(full->symbols.size(), 2u);
    ASSERT_EQ(full->signals.size(), 2u);
    EXPECT_EQ(full->signals[0].weight, 2.0);
    EXPECT_EQ(full->signals[1].kind, fenmor::IndicatorKind::LiqCluster);
    EXPECT_EQ(full->signals[1].params[1], 1e6);
  }
}

TEST(SpecDecoding, IgnoredMembersNestWithoutLimit) {
  std::string deep(1'000'000, '[');
  deep += std::string(1'000'000, ']');
  EXPECT_EQ(from_text(R"({"x": )" + deep + R"(, "signals": []})"), "ok");
  std::string unclosed = R"({"signals": [], "x": )" + std::string(1'000'000, '[');
  EXPECT_EQ(from_text(unclosed), "parse: EOF while parsing a list at line 1 column 1000021");
}

}  // namespace
