#pragma once
// The lexical layer shared by both readers: the document reader and the
// streaming spec reader. It knows whitespace, strings, numbers, literals and
// the error positions; the grammar of arrays and objects is in value_reader.hpp.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "json/number.hpp"
#include "json/pow10.hpp"
#include "json/syntax_error.hpp"

namespace fenmor::json {

inline constexpr int end_of_text = -1;

class Cursor {
 public:
  explicit Cursor(std::string_view text) noexcept : text_(text) {}

  std::string_view text() const noexcept { return text_; }
  std::size_t offset() const noexcept { return offset_; }

  // The next byte, or end_of_text; nothing is consumed.
  int peek() const noexcept {
    return offset_ < text_.size() ? static_cast<unsigned char>(text_[offset_]) : end_of_text;
  }
  void advance() noexcept { ++offset_; }

  // Skips space, tab, line feed and carriage return, then peeks. Compact
  // text has no whitespace between tokens: that case stays inline.
  int peek_token() noexcept {
    if (offset_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[offset_]);
      if (c > ' ') return c;
    }
    return skip_whitespace();
  }

  // A failure placed where reading stands (just after what was consumed).
  SyntaxError error(SyntaxCode code) const noexcept;
  // A failure placed just after the next byte: the byte being looked at.
  // At the end of the text it is placed at the end.
  SyntaxError peek_error(SyntaxCode code) const noexcept;
  // A failure placed at an arbitrary offset.
  SyntaxError error_at(SyntaxCode code, std::size_t offset) const noexcept;

  // On the opening quote: reads the string and returns its text with escapes
  // resolved, a view into the source when there were none, else into `scratch`.
  std::expected<std::string_view, SyntaxError> read_string(std::string& scratch) {
    if (auto plain = read_plain_string()) return *plain;
    return read_string_fully(scratch);
  }

  // On the opening quote: a string without escapes, as a view into the
  // text. Inline, eight bytes at a time. A string with an escape, a control
  // byte or no end answers nullopt and consumes nothing: for readers that
  // leave such texts to the full route, and must not pay for resolving the
  // escapes of a string they would only skip.
  std::optional<std::string_view> read_plain_string() noexcept {
    const std::size_t start = offset_ + 1;
    std::size_t i = start;
    if constexpr (std::endian::native == std::endian::little) {
      for (; i + 8 <= text_.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text_.data() + i, sizeof word);
        const std::uint64_t stops = string_stops(word);
        if (stops == 0) continue;
        i += static_cast<std::size_t>(std::countr_zero(stops)) / 8;
        return plain_string_ending_at(start, i);
      }
    }
    for (; i < text_.size(); ++i) {
      const auto c = static_cast<unsigned char>(text_[i]);
      if (c == '"' || c == '\\' || c < 0x20) return plain_string_ending_at(start, i);
    }
    return std::nullopt;
  }

  // On '-' or a digit: reads a number.
  std::expected<Number, SyntaxError> read_number() {
    if (auto number = read_short_number()) return *number;
    return read_number_fully();
  }

  // The high bit of each byte of `word` that is a double quote, a backslash or
  // a control byte. Only the lowest flagged byte is exact (a borrow may flag
  // bytes above it), which is all a search for the first one needs.
  static std::uint64_t string_stops(std::uint64_t word) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highs = 0x8080808080808080;
    const std::uint64_t quote = word ^ (ones * '"');
    const std::uint64_t backslash = word ^ (ones * '\\');
    const std::uint64_t zero_quote = (quote - ones) & ~quote;
    const std::uint64_t zero_backslash = (backslash - ones) & ~backslash;
    const std::uint64_t control = (word - ones * 0x20) & ~word;
    return (zero_quote | zero_backslash | control) & highs;
  }

  // On 'n', 't' or 'f': reads null, true or false; gives true for `true`.
  std::expected<bool, SyntaxError> read_literal();

  // Reads over one value of any nesting depth without building anything and
  // without using the call stack per level. Only the grammar is checked: a
  // skipped value is never used, so a number of any size (1e400) and any
  // \u escape (a lone surrogate) pass, as well-formed JSON.
  std::expected<void, SyntaxError> skip_value();
  // On '-' or a digit, on the opening quote: one number or string of
  // skip_value(), checked against the grammar only.
  std::expected<void, SyntaxError> skip_number();
  std::expected<void, SyntaxError> skip_string();

  // After the top-level value: only whitespace may remain.
  std::expected<void, SyntaxError> finish();

 private:
  int skip_whitespace() noexcept;
  // The string from `start` when the byte at `stop` is its closing quote.
  std::optional<std::string_view> plain_string_ending_at(std::size_t start,
                                                         std::size_t stop) noexcept {
    if (text_[stop] != '"') return std::nullopt;
    offset_ = stop + 1;
    return std::string_view(text_.data() + start, stop - start);
  }
  std::expected<std::string_view, SyntaxError> read_string_fully(std::string& scratch);
  std::expected<Number, SyntaxError> read_number_fully();
  std::expected<void, SyntaxError> expect_word(std::string_view rest);
  // The common number: at most 19 significant digits (so no overflow), a
  // plain exponent, and a result that one rounded operation gives. Anything
  // else answers nullopt with nothing consumed, for read_number's full rules.
  std::optional<Number> read_short_number() noexcept;
  std::expected<void, SyntaxError> read_escape(std::string& out, bool resolve);
  // The rest of a string from its first backslash, resolved into `scratch`.
  std::expected<std::string_view, SyntaxError> read_escaped_string(std::size_t start,
                                                                   std::string& scratch);

  std::string_view text_;
  std::size_t offset_ = 0;
};

// Inline: it runs for every number of every event.
inline std::optional<Number> Cursor::read_short_number() noexcept {
  const char* const begin = text_.data() + offset_;
  const char* const end = text_.data() + text_.size();
  const char* p = begin;
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  const auto digit_at = [&end](const char* at) {
    return at != end ? static_cast<unsigned>(*at) - '0' : 10u;
  };

  // Unsigned arithmetic wraps harmlessly past 19 digits: such numbers are
  // handed to read_number() before their significand is used.
  std::uint64_t significand = 0;
  const auto read_digits = [&] {
    for (unsigned d; (d = digit_at(p)) < 10; ++p) significand = significand * 10 + d;
  };
  const char* const integer = p;
  if (digit_at(p) == 0) {
    ++p;  // a leading zero stands alone; "01" is read_number()'s to reject
  } else {
    read_digits();
  }
  if (p == integer || digit_at(p) < 10) return std::nullopt;
  std::int64_t digits = p - integer;
  std::int64_t exponent = 0;
  bool is_float = false;
  if (p != end && *p == '.') {
    is_float = true;
    const char* const fraction = ++p;
    read_digits();
    if (p == fraction) return std::nullopt;
    exponent = -(p - fraction);
    digits += p - fraction;
  }
  if (digits > 19) return std::nullopt;
  if (p != end && (*p == 'e' || *p == 'E')) {
    is_float = true;
    ++p;
    const bool negative_exponent = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+')) ++p;
    const char* const written = p;
    std::int64_t value = 0;
    for (unsigned d; (d = digit_at(p)) < 10 && p - written < 3; ++p) value = value * 10 + d;
    if (p == written || digit_at(p) < 10) return std::nullopt;
    exponent += negative_exponent ? -value : value;
  }

  Number number;
  if (!is_float) {
    if (!negative) {
      number = Number::from_u64(significand);
    } else if (significand == 0) {
      number = Number::from_f64(-0.0);
    } else if (significand <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      number = Number::from_i64(-static_cast<std::int64_t>(significand));
    } else {
      return std::nullopt;
    }
  } else {
    // Exactly read_number()'s arithmetic: one rounding converting the
    // significand, one scaling by the double nearest the power of ten.
    constexpr std::int64_t exact_powers = 22;
    if (exponent < -exact_powers || exponent > exact_powers) return std::nullopt;
    double value = static_cast<double>(significand);
    if (exponent >= 0) {
      value *= pow10[static_cast<std::size_t>(exponent)];
    } else {
      value /= pow10[static_cast<std::size_t>(-exponent)];
    }
    number = Number::from_f64(negative ? -value : value);
  }
  offset_ += static_cast<std::size_t>(p - begin);
  return number;
}

}  // namespace fenmor::json
