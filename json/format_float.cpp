#include "json/format_float.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
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

// Most numbers of replies are multiples of 1e-8 of modest size (factor
// values and severities are quantised to it), and their shortest digits are
// those of the nearest multiple of 1e-8, found with integer arithmetic.
//
// k / 10^8 as a division of two exact doubles is correctly rounded, just as
// reading the decimal k * 10^-8 is, so it equals `magnitude` exactly when
// those digits read back as the value. Below 1e6 a double's spacing is under
// 1.2e-10, far finer than 1e-8: no other decimal with at most eight places
// reads back as the same value, and one with fewer significant digits but
// more places would have to lie further from it, so the digits of k without
// their trailing zeros are the shortest and the only ones of that length.
constexpr std::uint64_t eight_places = 100000000;

// k with magnitude = k / 10^8 as read back, or nullopt.
std::optional<std::uint64_t> eight_place_multiple(double magnitude) noexcept {
  constexpr double places = 1e8;
  if (!(magnitude < 1e6) || !(magnitude >= 1e-8)) return std::nullopt;
  // Any whole number near magnitude * 10^8 will do: the check decides.
  // Below 10^14 it fits a signed integer, whose conversions are single
  // instructions.
  const auto scaled = static_cast<std::int64_t>(magnitude * places + 0.5);
  if (static_cast<double>(scaled) / places != magnitude) return std::nullopt;
  return static_cast<std::uint64_t>(scaled);
}

bool shortest_of_eight_places(double magnitude, Shortest& out) {
  const std::optional<std::uint64_t> scaled = eight_place_multiple(magnitude);
  if (!scaled) return false;
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, *scaled);
  (void)ec;  // 24 bytes hold every 64-bit value
  std::size_t count = static_cast<std::size_t>(end - digits);
  out.exponent = static_cast<int>(count) - 1 - 8;
  while (count > 1 && digits[count - 1] == '0') --count;
  std::copy(digits, digits + count, out.digits);
  out.count = count;
  return true;
}

Shortest shortest(double value) {
  Shortest fast;
  fast.negative = std::signbit(value);
  if (shortest_of_eight_places(std::fabs(value), fast)) return fast;
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

// Writes the text of one format_float into a buffer of float_text_room
// bytes: it never needs more than 40 ("-", up to 17 digits, and at most "0."
// and four zeros, or 14 zeros and ".0", or an exponent).
class ShortText {
 public:
  explicit ShortText(char* start) noexcept : end_(start) {}
  void append(std::string_view text) noexcept { end_ = std::copy(text.begin(), text.end(), end_); }
  void append(std::size_t count, char c) noexcept { end_ = std::fill_n(end_, count, c); }
  ShortText& operator+=(std::string_view text) noexcept {
    append(text);
    return *this;
  }
  ShortText& operator+=(char c) noexcept {
    *end_++ = c;
    return *this;
  }
  char* end() const noexcept { return end_; }

 private:
  char* end_;
};

// Digits laid out without an exponent; returns whether the text ended in a
// whole number (no decimal point written). `Out` is std::string or ShortText.
template <class Out>
bool append_positional(Out& out, const Shortest& s) {
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

// The positional text of a multiple of 1e-8 from 1e-5 up (decimal exponent
// -5..5), straight from its integer k: the same text as the general layout
// of k's digits gives, without finding them first.
bool append_eight_places(ShortText& text, double value) {
  const double magnitude = std::fabs(value);
  if (!(magnitude >= 1e-5)) return false;
  const std::optional<std::uint64_t> scaled = eight_place_multiple(magnitude);
  if (!scaled) return false;
  if (std::signbit(value)) text += '-';
  char digits[24];
  // 24 bytes hold every 64-bit value: to_chars cannot fail here.
  const char* end = std::to_chars(digits, digits + sizeof digits, *scaled / eight_places).ptr;
  text += std::string_view(digits, static_cast<std::size_t>(end - digits));
  text += '.';
  // The eight places two at a time, then without their trailing zeros ("0"
  // if all are).
  static constexpr char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  auto fraction = static_cast<std::uint32_t>(*scaled % eight_places);
  for (std::size_t i = 8; i > 0; i -= 2) {
    const std::uint32_t pair = fraction % 100;
    fraction /= 100;
    digits[i - 2] = pairs[2 * pair];
    digits[i - 1] = pairs[2 * pair + 1];
  }
  std::size_t places = 8;
  while (places > 1 && digits[places - 1] == '0') --places;
  text += std::string_view(digits, places);
  return true;
}

}  // namespace

char* write_float(char* out, double value) noexcept {
  ShortText text(out);
  if (value == 0) {
    text += std::signbit(value) ? "-0.0" : "0.0";
    return text.end();
  }
  if (append_eight_places(text, value)) return text.end();
  const Shortest s = shortest(value);
  if (s.negative) text += '-';
  if (s.exponent >= -5 && s.exponent <= 15) {
    if (append_positional(text, s)) text += ".0";
    return text.end();
  }
  text += s.digits[0];
  if (s.count > 1) {
    text += '.';
    text += std::string_view(s.digits + 1, s.count - 1);
  }
  text += 'e';
  text += s.exponent > 0 ? '+' : '-';
  // At most three digits: to_chars cannot fail here.
  return std::to_chars(text.end(), text.end() + 8, s.exponent > 0 ? s.exponent : -s.exponent).ptr;
}

void append_float(std::string& out, double value) {
  char text[float_text_room];
  out.append(text, write_float(text, value));
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
