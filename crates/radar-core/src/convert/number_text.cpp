#include "crates/radar-core/src/convert/number_text.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <string>

namespace fenmor::convert {

namespace {

bool ascii_space(unsigned char c) noexcept {
  return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

// Bytes of the non-ASCII whitespace code point starting at `at`, or 0.
std::size_t wide_space_at(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
  };
  const unsigned a = byte(at), b = byte(at + 1), c = byte(at + 2);
  if (a == 0xC2 && (b == 0x85 || b == 0xA0)) return 2;  // U+0085, U+00A0
  if (a == 0xE1 && b == 0x9A && c == 0x80) return 3;    // U+1680
  if (a == 0xE2 && b == 0x80 && ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF)) {
    return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
  }
  if (a == 0xE2 && b == 0x81 && c == 0x9F) return 3;  // U+205F
  if (a == 0xE3 && b == 0x80 && c == 0x80) return 3;  // U+3000
  return 0;
}

bool digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The ASCII text without its underscores, each of which must sit between two
// digits; false when one does not, or when the text is not ASCII.
bool without_underscores(std::string_view text, std::string& out) {
  out.clear();
  char previous = '\0';
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    if (c == '_') {
      if (!digit(previous)) return false;
    } else {
      if (previous == '_' && !digit(c)) return false;
      out += c;
    }
    previous = c;
  }
  return previous != '_';
}

bool equal_ignoring_case(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// digits [. digits] | . digits, then an optional exponent: the whole text.
bool decimal_grammar(std::string_view text) noexcept {
  std::size_t i = 0, digits = 0;
  while (i < text.size() && digit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < text.size() && digit(text[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == text.size();
}

}  // namespace

std::string_view strip_space(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    if (ascii_space(static_cast<unsigned char>(text[begin]))) {
      ++begin;
    } else if (const std::size_t wide = wide_space_at(text, begin); wide != 0) {
      begin += wide;
    } else {
      break;
    }
  }
  std::size_t end = text.size();
  while (end > begin) {
    if (ascii_space(static_cast<unsigned char>(text[end - 1]))) {
      --end;
    } else if (end - begin >= 2 && wide_space_at(text, end - 2) == 2) {
      end -= 2;
    } else if (end - begin >= 3 && wide_space_at(text, end - 3) == 3) {
      end -= 3;
    } else {
      break;
    }
  }
  return text.substr(begin, end - begin);
}

std::expected<std::int64_t, NumberFault> parse_integer(std::string_view text) noexcept {
  text = strip_space(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !digit(text[0])) return std::unexpected(NumberFault::NotNumber);
  // Accumulated negatively so that the most negative value fits.
  std::int64_t value = 0;
  bool overflow = false;
  char previous = '\0';
  for (const char c : text) {
    if (c == '_') {
      if (!digit(previous)) return std::unexpected(NumberFault::NotNumber);
    } else if (digit(c)) {
      const std::int64_t d = c - '0';
      if (value < (std::numeric_limits<std::int64_t>::min() + d) / 10) overflow = true;
      else value = value * 10 - d;
    } else {
      return std::unexpected(NumberFault::NotNumber);
    }
    previous = c;
  }
  if (previous == '_') return std::unexpected(NumberFault::NotNumber);
  if (overflow || (!negative && value == std::numeric_limits<std::int64_t>::min())) {
    return std::unexpected(NumberFault::OutOfRange);
  }
  return negative ? value : -value;
}

std::expected<double, NumberFault> parse_float(std::string_view text) {
  text = strip_space(text);
  // Most fields are plain decimals: read them without a copy.
  double value = 0.0;
  if (!text.empty() && text.size() < 64) {
    bool plain = true;
    for (const char c : text) {
      if (!(digit(c) || c == '.' || c == '-')) {
        plain = false;
        break;
      }
    }
    if (plain && decimal_grammar(text[0] == '-' ? text.substr(1) : text)) {
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc{} && end == text.data() + text.size()) return value;
    }
  }
  std::string clean;  // the rare texts with a sign, underscores or words
  if (!without_underscores(text, clean)) return std::unexpected(NumberFault::NotNumber);
  std::string_view body = clean;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (equal_ignoring_case(body, "inf") || equal_ignoring_case(body, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  }
  if (equal_ignoring_case(body, "nan")) return std::numeric_limits<double>::quiet_NaN();
  if (!decimal_grammar(body)) return std::unexpected(NumberFault::NotNumber);
  const auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Beyond the doubles: strtod gives what Python gives, infinity or zero.
    const std::string terminated(body);
    value = std::strtod(terminated.c_str(), nullptr);
  } else if (error != std::errc{} || end != body.data() + body.size()) {
    return std::unexpected(NumberFault::NotNumber);
  }
  return negative ? -value : value;
}

}  // namespace fenmor::convert
