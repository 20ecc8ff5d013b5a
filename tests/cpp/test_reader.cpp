// The JSON document reader: syntax messages with their positions, number
// kinds and digits, strings and escapes, objects and nesting.

#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "json/document.hpp"

using fenmor::json::Document;
using fenmor::json::Node;
using fenmor::json::NodeKind;
using fenmor::json::parse_document;

namespace {

std::string failure(std::string_view text) {
  Document doc;
  auto parsed = parse_document(text, doc);
  if (parsed) return "ok";
  return parsed.error().describe();
}

struct SyntaxCase {
  std::string text;
  std::string expected;
};

class SyntaxFailure : public testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxFailure, MessageAndPosition) {
  EXPECT_EQ(failure(GetParam().text), GetParam().expected) << "text: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Reader, SyntaxFailure,
    testing::Values(
        SyntaxCase{"", "EOF while parsing a value at line 1 column 0"},
        SyntaxCase{"   \n ", "EOF while parsing a value at line 2 column 1"},
        SyntaxCase{R"({"cmd":"version"} x)", "trailing characters at line 1 column 19"},
        SyntaxCase{"\nx", "expected value at line 2 column 1"},
        SyntaxCase{"01", "invalid number at line 1 column 2"},
        SyntaxCase{"[1,]", "trailing comma at line 1 column 4"},
        SyntaxCase{R"({"a":1,})", "trailing comma at line 1 column 8"},
        SyntaxCase{R"({"a" 1})", "expected `:` at line 1 column 6"},
        SyntaxCase{"{1:2}", "key must be a string at line 1 column 2"},
        SyntaxCase{R"({"a":1,2})", "key must be a string at line 1 column 8"},
        SyntaxCase{"nux", "expected ident at line 1 column 3"},
        SyntaxCase{"nul", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"tru", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"fals3", "expected ident at line 1 column 5"},
        SyntaxCase{"[", "EOF while parsing a list at line 1 column 1"},
        SyntaxCase{"[1", "EOF while parsing a list at line 1 column 2"},
        SyntaxCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        SyntaxCase{"[,1]", "expected value at line 1 column 2"},
        SyntaxCase{"{", "EOF while parsing an object at line 1 column 1"},
        SyntaxCase{R"({"a")", "EOF while parsing an object at line 1 column 4"},
        SyntaxCase{R"({"a":)", "EOF while parsing a value at line 1 column 5"},
        SyntaxCase{R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
        SyntaxCase{R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
        SyntaxCase{R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
        SyntaxCase{R"("abc)", "EOF while parsing a string at line 1 column 4"},
        SyntaxCase{"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        SyntaxCase{R"("\x")", "invalid escape at line 1 column 3"},
        SyntaxCase{R"("\u12g4")", "invalid escape at line 1 column 6"},
        SyntaxCase{R"("\u12)", "EOF while parsing a string at line 1 column 5"},
        SyntaxCase{R"("\)", "EOF while parsing a string at line 1 column 2"},
        SyntaxCase{R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7"},
        SyntaxCase{R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
        SyntaxCase{R"("\ud800x")", "unexpected end of hex escape at line 1 column 8"},
        SyntaxCase{R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9"},
        SyntaxCase{R"("\ud800)", "EOF while parsing a string at line 1 column 7"},
        SyntaxCase{"-", "EOF while parsing a value at line 1 column 1"},
        SyntaxCase{"-x", "invalid number at line 1 column 2"},
        SyntaxCase{"1.", "EOF while parsing a value at line 1 column 2"},
        SyntaxCase{"1.x", "invalid number at line 1 column 3"},
        SyntaxCase{"1e", "EOF while parsing a value at line 1 column 2"},
        SyntaxCase{"1e+x", "invalid number at line 1 column 4"},
        SyntaxCase{"1e400", "number out of range at line 1 column 5"},
        SyntaxCase{"[1e309]", "number out of range at line 1 column 6"},
        SyntaxCase{"-1e400", "number out of range at line 1 column 6"},
        SyntaxCase{"1e99999999999", "number out of range at line 1 column 12"},
        SyntaxCase{"1x", "trailing characters at line 1 column 2"},
        SyntaxCase{"@", "expected value at line 1 column 1"},
        SyntaxCase{"{\"a\":1}\n\n}", "trailing characters at line 3 column 1"},
        SyntaxCase{"[\"\xc3\xa9\" x]", "expected `,` or `]` at line 1 column 7"}),
    fenmor::test::NamedBy<&SyntaxCase::text>{});

TEST(Positions, LineIndexCountsLinesAsLocateDoes) {
  for (const std::string text : {"", "\n", "a", "ab\n\ncd\n", "\n\nx\ny\n\n", "{\n \"a\": 1\n}"}) {
    const fenmor::json::LineIndex lines(text);
    for (std::size_t offset = 0; offset <= text.size() + 1; ++offset) {
      EXPECT_EQ(lines.line(offset), fenmor::json::locate(text, offset).line) << offset;
    }
  }
}

TEST(Reader, AcceptsTrailingWhitespaceOnly) {
  EXPECT_EQ(failure("{\"cmd\":\"version\"} \t\r\n "), "ok");
  EXPECT_EQ(failure("{\"cmd\":\"version\"}\f"), "trailing characters at line 1 column 18");
}

TEST(Reader, NestingLimit) {
  for (const char* pair : {"[]", "{}"}) {
    std::string deep_ok;
    std::string deep_fail;
    const auto nest = [&](std::size_t levels) {
      std::string text;
      for (std::size_t i = 0; i + 1 < levels; ++i) text += pair[0] == '[' ? "[" : "{\"a\":";
      text += pair;
      for (std::size_t i = 0; i + 1 < levels; ++i) text += pair[1];
      return text;
    };
    EXPECT_EQ(failure(nest(127)), "ok");
    const std::string text = nest(128);
    // The 128th opening bracket is the one refused.
    const std::size_t column = pair[0] == '[' ? 128 : 127 * 5 + 1;
    EXPECT_EQ(failure(text), "recursion limit exceeded at line 1 column " + std::to_string(column));
  }
}

TEST(Reader, MillionLevelsFailWithoutDeepRecursion) {
  const std::string text(1'000'000, '[');
  EXPECT_EQ(failure(text), "recursion limit exceeded at line 1 column 128");
}

const Node& parsed(Document& doc, std::string_view text) {
  auto root = parse_document(text, doc);
  EXPECT_TRUE(root.has_value()) << text;
  return doc.root();
}

TEST(Reader, NumberKinds) {
  Document doc;
  EXPECT_EQ(parsed(doc, "18446744073709551615").kind(), NodeKind::U64);
  EXPECT_EQ(doc.root().u64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parsed(doc, "18446744073709551616").kind(), NodeKind::F64);
  EXPECT_EQ(doc.root().f64(), 18446744073709551616.0);
  EXPECT_EQ(parsed(doc, "-9223372036854775808").kind(), NodeKind::I64);
  EXPECT_EQ(doc.root().i64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parsed(doc, "-9223372036854775809").kind(), NodeKind::F64);
  EXPECT_EQ(parsed(doc, "-5").i64(), -5);
  EXPECT_EQ(parsed(doc, "0").kind(), NodeKind::U64);
  const Node& minus_zero = parsed(doc, "-0");
  EXPECT_EQ(minus_zero.kind(), NodeKind::F64);
  EXPECT_TRUE(std::signbit(minus_zero.f64()));
  EXPECT_EQ(parsed(doc, "5.0").kind(), NodeKind::F64);
  EXPECT_EQ(parsed(doc, "1e3").f64(), 1000.0);
  EXPECT_EQ(parsed(doc, "0e400").f64(), 0.0);
  EXPECT_EQ(parsed(doc, "1e-400").f64(), 0.0);
  EXPECT_TRUE(std::signbit(parsed(doc, "-1e-400").f64()));
  EXPECT_EQ(parsed(doc, "1e-99999999999").f64(), 0.0);
  EXPECT_EQ(parsed(doc, "0e99999999999").f64(), 0.0);
}

// Expected values are written as the two roundings themselves: the
// significand rounded to a double, then multiplied or divided by the double
// nearest 10^|e|.
TEST(Reader, NumberDigits) {
  Document doc;
  struct Case {
    const char* text;
    double expected;
  };
  const Case cases[] = {
      {"0.1", 0.1},
      {"64010.2", 64010.2},
      {"0.0001", 0.0001},
      {"123.456e3", 123456.0},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"5e-324", 5e-324},
      {"2.2250738585072014e-308", 2.2250738585072014e-308},
      // Beyond 15 digits or |e| > 22 the result is the two-rounding value,
      // which here differs from the correctly rounded one.
      {"9007199254740993.0", 90071992547409930.0 / 1e1},
      {"1.2345678901234567e-30", 12345678901234567.0 / 1e46},
      {"8.98846567431158e307", 898846567431158.0 * 1e293},
      // e beyond -308: divided by 1e308 first.
      {"1e-320", 1.0 / 1e308 / 1e12},
      {"123456789e-330", 123456789.0 / 1e308 / 1e22},
      // Over-long significands keep the leading digits that fit.
      {"123456789012345678901234567890", 12345678901234567890.0 * 1e10},
      {"1.23456789012345678901234567890", 12345678901234567890.0 / 1e19},
      {"18446744073709551619.5", 1844674407370955161.0 * 1e1},
  };
  for (const Case& c : cases) {
    const Node& node = parsed(doc, c.text);
    ASSERT_EQ(node.kind(), NodeKind::F64) << c.text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(node.f64()), std::bit_cast<std::uint64_t>(c.expected))
        << c.text << " read as " << node.f64();
  }
}

TEST(Reader, Strings) {
  Document doc;
  EXPECT_EQ(parsed(doc, R"("a\"b\\c\/d\b\f\n\r\t")").string(), "a\"b\\c/d\b\f\n\r\t");
  EXPECT_EQ(parsed(doc, R"("\u00e9\u20ac")").string(), "\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(parsed(doc, R"("\ud83d\ude00")").string(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(parsed(doc, R"("\u0000")").string(), std::string_view("\0", 1));
  EXPECT_EQ(parsed(doc, "\"\xe2\x82\xac\x7f/\"").string(), "\xe2\x82\xac\x7f/");
}

TEST(Reader, ObjectsSortNamesAndKeepTheLastRepeat) {
  Document doc;
  const Node& root = parsed(doc, R"({"b":1,"a":2,"ab":3,"a":4,"B":5,"":6})");
  ASSERT_EQ(root.kind(), NodeKind::Object);
  std::string names;
  for (const auto& member : root.members()) names += std::string(member.name) + ",";
  EXPECT_EQ(names, ",B,a,ab,b,");
  ASSERT_NE(root.find("a"), nullptr);
  EXPECT_EQ(root.find("a")->u64(), 4u);
  EXPECT_EQ(root.find("missing"), nullptr);
  EXPECT_EQ(parsed(doc, R"({"cmd":"nope","cmd":"version"})").find("cmd")->string(), "version");
}

TEST(Reader, LargeObjectsSortToo) {
  std::string text = "{";
  for (int i = 99; i >= 0; --i) {
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + (i > 0 ? "," : "");
  }
  text += ",\"k5\":500}";
  Document doc;
  const Node& root = parsed(doc, text);
  ASSERT_EQ(root.members().size(), 100u);
  for (std::size_t i = 1; i < root.members().size(); ++i) {
    EXPECT_LT(root.members()[i - 1].name, root.members()[i].name);
  }
  EXPECT_EQ(root.find("k5")->u64(), 500u);
}

TEST(Reader, ArraysKeepOrderAndNest) {
  Document doc;
  const Node& root = parsed(doc, R"([1,[2,[3,{"x":[4]}]],"s",true,false,null])");
  ASSERT_EQ(root.elements().size(), 6u);
  EXPECT_EQ(root.elements()[0].u64(), 1u);
  const Node& inner = root.elements()[1].elements()[1];
  EXPECT_EQ(inner.elements()[1].find("x")->elements()[0].u64(), 4u);
  EXPECT_EQ(root.elements()[3].kind(), NodeKind::Bool);
  EXPECT_TRUE(root.elements()[3].boolean());
  EXPECT_EQ(root.elements()[5].kind(), NodeKind::Null);
}

TEST(Reader, ReusedDocumentSurvivesFailureAndGrowth) {
  Document doc;
  std::string big = "[";
  for (int i = 0; i < 50000; ++i) big += "{\"kind\":\"x\",\"v\":" + std::to_string(i) + "},";
  big.back() = ']';
  EXPECT_EQ(parsed(doc, big).elements().size(), 50000u);
  EXPECT_FALSE(parse_document("[1,", doc).has_value());
  EXPECT_EQ(doc.root().kind(), NodeKind::Null);
  EXPECT_EQ(parsed(doc, "[7]").elements()[0].u64(), 7u);
}

}  // namespace
