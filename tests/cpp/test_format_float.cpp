// The text of doubles and of unexpected values in decoding messages.

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "json/format_float.hpp"
#include "json/messages.hpp"

using fenmor::json::format_float;

namespace {

TEST(FormatFloat, Table) {
  const std::pair<double, const char*> cases[] = {
      {1, "1.0"},
      {100, "100.0"},
      {0.5, "0.5"},
      {123.456, "123.456"},
      {0.0001, "0.0001"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {0.00000123, "1.23e-6"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.5e300, "1.5e+300"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-2.5, "-2.5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {5e-8, "5e-8"},
      {1234567.0, "1234567.0"},
      {123456789012345680.0, "1.2345678901234568e+17"},
      {-0.000012, "-0.000012"},
      {2e-7, "2e-7"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_float(value), text) << value;
}

// Whatever the layout, the text reads back as the same double.
TEST(FormatFloat, RoundTripsRandomDoubles) {
  std::mt19937_64 random(12345);
  for (int i = 0; i < 200000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const std::string text = format_float(value);
    double back = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(ec, std::errc()) << text;
    ASSERT_EQ(end, text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
  }
}

TEST(PlainDecimal, NeverUsesAnExponent) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1"},       {0.05, "0.05"},  {12.9, "12.9"},   {1e21, "1000000000000000000000"},
      {-0.0, "-0"},     {0.0, "0"},      {3.0000000000000004e-8, "0.000000030000000000000004"},
      {-1e-8, "-0.00000001"}, {1e23, "100000000000000000000000"}};
  for (const auto& [value, text] : cases) {
    std::string out;
    fenmor::json::append_plain_decimal(out, value);
    EXPECT_EQ(out, text);
  }
}

TEST(UnexpectedText, DescribesEachKind) {
  using fenmor::json::Number;
  using fenmor::json::Unexpected;
  using fenmor::json::unexpected_text;
  EXPECT_EQ(unexpected_text(Unexpected::null()), "null");
  EXPECT_EQ(unexpected_text(Unexpected::of_bool(true)), "boolean `true`");
  EXPECT_EQ(unexpected_text(Unexpected::of_bool(false)), "boolean `false`");
  EXPECT_EQ(unexpected_text(Unexpected::of_number(Number::from_u64(5))), "integer `5`");
  EXPECT_EQ(unexpected_text(Unexpected::of_number(Number::from_i64(-1))), "integer `-1`");
  EXPECT_EQ(unexpected_text(Unexpected::of_number(Number::from_f64(1000))), "floating point `1000.0`");
  EXPECT_EQ(unexpected_text(Unexpected::of_number(Number::from_f64(-0.0))), "floating point `-0.0`");
  EXPECT_EQ(unexpected_text(Unexpected::of_string("a\"b\\c\n\x01")),
            "string \"a\\\"b\\\\c\\n\\u{1}\"");
  EXPECT_EQ(unexpected_text(Unexpected::sequence()), "sequence");
  EXPECT_EQ(unexpected_text(Unexpected::map()), "map");
}

TEST(DecodingMessages, Forms) {
  using namespace fenmor::json;
  const std::string_view one[] = {"a"};
  const std::string_view two[] = {"buy", "sell"};
  const std::string_view three[] = {"derivatives", "orderbook", "liquidation"};
  EXPECT_EQ(unknown_variant("x", one), "unknown variant `x`, expected `a`");
  EXPECT_EQ(unknown_variant("BUY", two), "unknown variant `BUY`, expected `buy` or `sell`");
  EXPECT_EQ(unknown_variant("swap", three),
            "unknown variant `swap`, expected one of `derivatives`, `orderbook`, `liquidation`");
  EXPECT_EQ(invalid_length(6, "fewer elements in array"),
            "invalid length 6, expected fewer elements in array");
  EXPECT_EQ(missing_field("kind"), "missing field `kind`");
  EXPECT_EQ(duplicate_field("weight"), "duplicate field `weight`");
  EXPECT_EQ(invalid_value(Unexpected::map(), "map with a single key"),
            "invalid value: map, expected map with a single key");
}

}  // namespace
