// The reader's shortcuts must give exactly what its general rules give: short
// numbers (one rounding of the significand, one scaling by the double nearest
// the power of ten) and strings scanned eight bytes at a time.

#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "json/document.hpp"
#include "json/pow10.hpp"

using fenmor::json::Document;
using fenmor::json::NodeKind;
using fenmor::json::parse_document;

namespace {

// The two-rounding value of digits * 10^exponent, written out independently.
double two_rounding(std::uint64_t digits, int exponent, bool negative) {
  double value = static_cast<double>(digits);
  if (exponent >= 0) {
    value *= fenmor::json::pow10[static_cast<std::size_t>(exponent)];
  } else {
    value /= fenmor::json::pow10[static_cast<std::size_t>(-exponent)];
  }
  return negative ? -value : value;
}

double read_double(const std::string& text) {
  Document doc;
  auto root = parse_document(text, doc);
  EXPECT_TRUE(root.has_value()) << text;
  if (!root) return std::nan("");
  EXPECT_EQ((*root)->kind(), NodeKind::F64) << text;
  return (*root)->f64();
}

// Literal forms of digits * 10^exponent: fraction, exponent, or both.
struct Literal {
  std::string text;
  std::uint64_t digits;
  int exponent;
  bool negative;
};

Literal make_literal(std::mt19937_64& random) {
  const int length = static_cast<int>(random() % 19) + 1;
  std::string digits;
  for (int i = 0; i < length; ++i) digits.push_back(static_cast<char>('0' + random() % 10));
  while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
  const bool negative = random() % 2 == 0;
  const int fraction = static_cast<int>(random() % digits.size());  // digits after the point
  const int written = static_cast<int>(random() % 41) - 20;
  std::string text = negative ? "-" : "";
  const std::size_t point = digits.size() - static_cast<std::size_t>(fraction);
  text += fraction > 0 ? digits.substr(0, point) + "." + digits.substr(point) : digits;
  const int form = static_cast<int>(random() % 3);
  if (form > 0 || fraction == 0) {
    text += form == 2 ? "E" : "e";
    if (written >= 0 && random() % 2 == 0) text += "+";
    text += std::to_string(written);
  } else {
    // No exponent written: the value still has fraction digits.
  }
  const bool has_exponent = text.find_first_of("eE") != std::string::npos;
  return {text, std::strtoull(digits.c_str(), nullptr, 10),
          (has_exponent ? written : 0) - fraction, negative};
}

TEST(ReaderFastPaths, ShortNumbersMatchTheTwoRoundingRule) {
  std::mt19937_64 random(20240601);
  for (int i = 0; i < 200000; ++i) {
    const Literal literal = make_literal(random);
    const int e = literal.exponent;
    if (e < -308 || e > 308) continue;
    const double expected = two_rounding(literal.digits, e, literal.negative);
    if (!std::isfinite(expected)) continue;
    const double read = read_double(literal.text);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(read), std::bit_cast<std::uint64_t>(expected))
        << literal.text;
  }
}

TEST(ReaderFastPaths, FifteenDigitsAreCorrectlyRounded) {
  // Within 15 significant digits and |e| <= 22 both roundings are exact
  // enough that the result is the correctly rounded double.
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t digits = random() % 1000000000000000;
    const int exponent = static_cast<int>(random() % 45) - 22;
    const std::string text = std::to_string(digits) + "e" + std::to_string(exponent);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(read_double(text)),
              std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)))
        << text;
  }
}

struct NumberCase {
  std::string text;
  NodeKind kind;
  double value;
};

class NumberEdges : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberEdges, KindAndValue) {
  const NumberCase& c = GetParam();
  Document doc;
  auto root = parse_document(c.text, doc);
  ASSERT_TRUE(root.has_value()) << c.text;
  ASSERT_EQ((*root)->kind(), c.kind) << c.text;
  EXPECT_EQ(std::bit_cast<std::uint64_t>((*root)->number().as_double()),
            std::bit_cast<std::uint64_t>(c.value))
      << c.text;
}

// Around the limits of the short route: 19 and 20 digits, |e| of 22 and 23,
// the signed range, zeros and exponents with three and four digits.
INSTANTIATE_TEST_SUITE_P(
    Reader, NumberEdges,
    testing::Values(NumberCase{"9999999999999999999", NodeKind::U64, 9999999999999999999.0},
                    NumberCase{"18446744073709551615", NodeKind::U64, 18446744073709551615.0},
                    NumberCase{"18446744073709551616", NodeKind::F64, 18446744073709551616.0},
                    NumberCase{"-9223372036854775807", NodeKind::I64, -9223372036854775807.0},
                    NumberCase{"-9223372036854775808", NodeKind::I64, -9223372036854775808.0},
                    NumberCase{"-9223372036854775809", NodeKind::F64, -9223372036854775809.0},
                    NumberCase{"-0", NodeKind::F64, -0.0}, NumberCase{"-0.0", NodeKind::F64, -0.0},
                    NumberCase{"0e5", NodeKind::F64, 0.0}, NumberCase{"1e22", NodeKind::F64, 1e22},
                    NumberCase{"1e23", NodeKind::F64, 1e23},
                    NumberCase{"1.5e-22", NodeKind::F64, 15.0 / 1e23},
                    NumberCase{"1e-23", NodeKind::F64, 1.0 / 1e23},
                    NumberCase{"1e100", NodeKind::F64, 1e100},
                    NumberCase{"1e0100", NodeKind::F64, 1e100},
                    NumberCase{"1.2345678901234567890", NodeKind::F64,
                               12345678901234567890.0 / 1e19},
                    NumberCase{"0.0000000000000000001", NodeKind::F64, 1.0 / 1e19}),
    fenmor::test::NamedBy<&NumberCase::text>{});

TEST(ReaderFastPaths, MalformedNumbersStillFail) {
  for (const char* text : {"01", "-", "-x", "1.", "1.e5", "1e", "1e+", "00.5", "-01"}) {
    Document doc;
    EXPECT_FALSE(parse_document(text, doc).has_value()) << text;
  }
}

// A quote, a backslash or a control byte at every offset of the first
// sixteen: the eight-byte scan must stop exactly there.
TEST(ReaderFastPaths, StringStopsAtEveryOffset) {
  for (std::size_t at = 0; at < 16; ++at) {
    const std::string plain(at, 'a');
    Document doc;
    auto quoted = parse_document("\"" + plain + "\"", doc);
    ASSERT_TRUE(quoted.has_value());
    EXPECT_EQ((*quoted)->string(), plain);

    auto escaped = parse_document("\"" + plain + "\\n" + plain + "\"", doc);
    ASSERT_TRUE(escaped.has_value());
    EXPECT_EQ((*escaped)->string(), plain + "\n" + plain);

    const std::string text = "\"" + plain + "\t\"";
    auto control = parse_document(text, doc);
    ASSERT_FALSE(control.has_value());
    EXPECT_EQ(control.error().position.column, at + 2);

    // Bytes above 0x7f are plain string bytes, not stops.
    auto high = parse_document("\"" + plain + "\xc3\xa9\xff\x80\"", doc);
    ASSERT_TRUE(high.has_value());
    EXPECT_EQ((*high)->string(), plain + "\xc3\xa9\xff\x80");

    auto open = parse_document("\"" + plain, doc);
    ASSERT_FALSE(open.has_value());
    EXPECT_EQ(open.error().describe(),
              "EOF while parsing a string at line 1 column " + std::to_string(at + 1));
  }
}

}  // namespace
