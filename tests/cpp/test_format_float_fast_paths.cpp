// format_float writes multiples of 1e-8 (every factor value and severity of a
// reply) from their integer form; the text must be exactly what the general
// rule gives: the shortest round-trip digits laid out by decimal exponent.

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "crates/radar-core/src/spec.hpp"
#include "json/format_float.hpp"

namespace {

// The rule written out independently: the standard library's shortest
// scientific digits, then positional for exponents -5..15.
std::string reference(double value) {
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::scientific);
  const std::string text(buffer, result.ptr);
  const bool negative = text[0] == '-';
  const std::size_t e = text.find('e');
  std::string digits;
  for (std::size_t i = negative ? 1 : 0; i < e; ++i) {
    if (text[i] != '.') digits.push_back(text[i]);
  }
  const int exponent = std::stoi(text.substr(e + 1));
  const int n = static_cast<int>(digits.size());
  std::string out = negative ? "-" : "";
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) return out + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    if (exponent < n - 1) {
      const auto point = static_cast<std::size_t>(exponent + 1);
      return out + digits.substr(0, point) + "." + digits.substr(point);
    }
    return out + digits + std::string(static_cast<std::size_t>(exponent - n + 1), '0') + ".0";
  }
  out += digits.substr(0, 1);
  if (n > 1) out += "." + digits.substr(1);
  return out + "e" + (exponent > 0 ? "+" : "-") + std::to_string(std::abs(exponent));
}

TEST(FormatFloatFastPaths, QuantisedValuesMatchTheRule) {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 300000; ++i) {
    // Factor values and severities: quantised, mostly in [0, 1], some larger
    // and some tiny (a few multiples of 1e-8).
    double x = unit(random);
    if (i % 5 == 1) x *= 2e6;
    if (i % 5 == 2) x *= 1e-6;
    if (i % 7 == 3) x = -x;
    const double value = fenmor::quantise(x);
    ASSERT_EQ(fenmor::json::format_float(value), reference(value)) << x;
  }
}

TEST(FormatFloatFastPaths, OtherValuesMatchTheRule) {
  std::mt19937_64 random(12);
  std::uniform_real_distribution<double> exponent(-30.0, 30.0);
  for (int i = 0; i < 100000; ++i) {
    const double value = std::pow(10.0, exponent(random)) * (i % 2 ? 1 : -1);
    ASSERT_EQ(fenmor::json::format_float(value), reference(value)) << value;
  }
}

// quantise rounds without calling std::round; it must round exactly alike.
TEST(FormatFloatFastPaths, QuantiseRoundsAsStdRound) {
  std::mt19937_64 random(13);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<double> values = {0.5e-8, -0.5e-8, 1.5e-8, -2.5e-8, 0.49999999999999994e-8, -0.0,
                                0.0, 1e-300, -1e-300, 4503599627370496.0 * 1e-8,
                                4503599627370497.0 * 1e-8, 1e300, -1e300,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity()};
  for (int i = 0; i < 200000; ++i) {
    const double x = unit(random) * std::pow(10.0, static_cast<double>(random() % 40) - 20);
    values.push_back(x);
    values.push_back(std::round(x / 1e-8) * 1e-8 + 0.5e-8);  // near halves
  }
  for (const double x : values) {
    const double expected = std::round(x / 1e-8) * 1e-8;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(fenmor::quantise(x)),
              std::bit_cast<std::uint64_t>(expected))
        << x;
  }
  EXPECT_TRUE(std::isnan(fenmor::quantise(std::nan(""))));
}

TEST(FormatFloatFastPaths, Boundaries) {
  // Around 1e-8, 1e-5 and 1e6, where the integer route starts and stops, and
  // multiples whose nearest double reads back as a longer decimal.
  for (const double value :
       {1e-8, 2e-8, 3e-8, 3 * 1e-8, 5e-8, 9.99999999e-6, 1e-5, 1.00000001e-5, 0.00001, 0.1,
        0.30000000000000004, 0.5, 0.99999999, 1.0, 1.00000001, 123.45678901, 999999.99999999,
        1e6, 1000000.00000001, 123456.7, 1e15, 1e16, -0.5, -1e-8}) {
    EXPECT_EQ(fenmor::json::format_float(value), reference(value)) << value;
  }
  EXPECT_EQ(fenmor::json::format_float(fenmor::quantise(3e-8)), "3.0000000000000004e-8");
  EXPECT_EQ(fenmor::json::format_float(0.00000005), "5e-8");
}

}  // namespace
