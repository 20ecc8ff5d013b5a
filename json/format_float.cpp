#include "json/format_float.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>

namespace fenmor::json {

namespace {

// The shortest digits d1..dn that read back as `value` (nearest to it when
// several qualify) and the decimal exponent E of d1, from the standard
// library's shortest round-trip conversion.
struct Shortest {
  bool negative = false;
  char digits[20] = {};
  std::size_t count = 0;
  int exponent = 0;
};

Shortest shortest(double value) {
  char buffer[40];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                       std::chars_format::scientific);
  (void)ec;  // 40 bytes hold every double in this form
  Shortest result;
  const char* p = buffer;
  if (*p == '-') {
    result.negative = true;
    ++p;
  }
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') result.digits[result.count++] = *p;
  }
  // p is on 'e', followed by a sign and at least two digits.
  ++p;
  const bool negative_exponent = *p == '-';
  ++p;
  int exponent = 0;
  std::from_chars(p, end, exponent);
  result.exponent = negative_exponent ? -exponent : exponent;
  return result;
}

// Digits laid out without an exponent; returns whether the text ended in a
// whole number (no decimal point written).
bool append_positional(std::string& out, const Shortest& s) {
  const std::string_view digits(s.digits, s.count);
  const auto n = static_cast<int>(s.count);
  if (s.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-s.exponent - 1), '0');
    out += digits;
    return false;
  }
  if (s.exponent < n - 1) {
    const auto point = static_cast<std::size_t>(s.exponent + 1);
    out += digits.substr(0, point);
    out += '.';
    out += digits.substr(point);
    return false;
  }
  out += digits;
  out.append(static_cast<std::size_t>(s.exponent - n + 1), '0');
  return true;
}

}  // namespace

void append_float(std::string& out, double value) {
  if (value == 0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  const Shortest s = shortest(value);
  if (s.negative) out += '-';
  if (s.exponent >= -5 && s.exponent <= 15) {
    if (append_positional(out, s)) out += ".0";
    return;
  }
  out += s.digits[0];
  if (s.count > 1) {
    out += '.';
    out.append(s.digits + 1, s.count - 1);
  }
  out += 'e';
  out += s.exponent > 0 ? '+' : '-';
  out += std::to_string(s.exponent > 0 ? s.exponent : -s.exponent);
}

std::string format_float(double value) {
  std::string out;
  append_float(out, value);
  return out;
}

void append_plain_decimal(std::string& out, double value) {
  if (value == 0) {
    out += std::signbit(value) ? "-0" : "0";
    return;
  }
  const Shortest s = shortest(value);
  if (s.negative) out += '-';
  append_positional(out, s);
}

}  // namespace fenmor::json
