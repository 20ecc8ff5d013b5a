#include "json/cursor.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdint>
#include <limits>
#include <vector>

#include "json/pow10.hpp"
#include "json/value_reader.hpp"

namespace fenmor::json {

namespace {

bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(int c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// significand * 10 + digit would not fit in 64 bits.
bool overflows(std::uint64_t significand, int digit) noexcept {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  return significand > max / 10 ||
         (significand == max / 10 && static_cast<std::uint64_t>(digit) > max % 10);
}

constexpr std::int64_t exponent_limit = std::numeric_limits<std::int32_t>::max();

bool is_string_stop(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20; }

// The offset of the first byte at or after `from` that ends a run of plain
// string bytes, or text.size(). Eight bytes at a time where they are there
// to read: names and symbols are short, but so is every step of the search.
std::size_t find_string_stop(std::string_view text, std::size_t from) noexcept {
  const char* const data = text.data();
  std::size_t i = from;
  if constexpr (std::endian::native == std::endian::little) {
    while (i + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      if (const std::uint64_t stops = Cursor::string_stops(word); stops != 0) {
        return i + static_cast<std::size_t>(std::countr_zero(stops)) / 8;
      }
      i += 8;
    }
  }
  while (i < text.size() && !is_string_stop(static_cast<unsigned char>(data[i]))) ++i;
  return i;
}

// Throws nothing away that the caller needs: skipping only checks the grammar
// (see skip_value()).
struct SkipSink {
  static constexpr bool grammar_only = true;
  void null() noexcept {}
  void boolean(bool) noexcept {}
  void begin_array() noexcept {}
  void end_array() noexcept {}
  void begin_object() noexcept {}
  void end_object() noexcept {}
};

}  // namespace

int Cursor::skip_whitespace() noexcept {
  while (offset_ < text_.size()) {
    const char c = text_[offset_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
    ++offset_;
  }
  return end_of_text;
}

SyntaxError Cursor::error(SyntaxCode code) const noexcept { return error_at(code, offset_); }

SyntaxError Cursor::peek_error(SyntaxCode code) const noexcept {
  return error_at(code, offset_ < text_.size() ? offset_ + 1 : text_.size());
}

SyntaxError Cursor::error_at(SyntaxCode code, std::size_t offset) const noexcept {
  return SyntaxError{code, locate(text_, offset)};
}

std::expected<std::string_view, SyntaxError> Cursor::read_string_fully(std::string& scratch) {
  advance();  // the opening quote
  const std::size_t start = offset_;
  // Fast path: no escape before the closing quote, the text is the source.
  offset_ = find_string_stop(text_, offset_);
  if (offset_ >= text_.size()) {
    return std::unexpected(error_at(SyntaxCode::EofWhileParsingString, text_.size()));
  }
  const auto stop = static_cast<unsigned char>(text_[offset_]);
  if (stop == '"') {
    ++offset_;
    return text_.substr(start, offset_ - 1 - start);
  }
  if (stop < 0x20) {
    return std::unexpected(error_at(SyntaxCode::ControlCharacterWhileParsingString, offset_ + 1));
  }
  return read_escaped_string(start, scratch);
}

// Kept apart from read_string_fully() so that the common string, without escapes,
// runs through a small function.
std::expected<std::string_view, SyntaxError> Cursor::read_escaped_string(std::size_t start,
                                                                         std::string& scratch) {
  scratch.assign(text_.substr(start, offset_ - start));
  while (offset_ < text_.size()) {
    const auto c = static_cast<unsigned char>(text_[offset_]);
    if (c == '"') {
      ++offset_;
      return std::string_view(scratch);
    }
    if (c == '\\') {
      ++offset_;
      if (auto escaped = read_escape(scratch, true); !escaped) return std::unexpected(escaped.error());
      continue;
    }
    if (c < 0x20) return std::unexpected(error_at(SyntaxCode::ControlCharacterWhileParsingString, offset_ + 1));
    scratch.push_back(static_cast<char>(c));
    ++offset_;
  }
  return std::unexpected(error_at(SyntaxCode::EofWhileParsingString, text_.size()));
}

// After a backslash: one escape, resolved into `out` when `resolve`. An
// escape that is only skipped is held to the grammar alone: four hexadecimal
// digits after \u, whatever code unit they name, so a lone surrogate passes.
std::expected<void, SyntaxError> Cursor::read_escape(std::string& out, bool resolve) {
  const auto eof = [this] { return std::unexpected(error_at(SyntaxCode::EofWhileParsingString, text_.size())); };
  const int c = peek();
  if (c == end_of_text) return eof();
  advance();
  char plain = 0;
  switch (c) {
    case '"': plain = '"'; break;
    case '\\': plain = '\\'; break;
    case '/': plain = '/'; break;
    case 'b': plain = '\b'; break;
    case 'f': plain = '\f'; break;
    case 'n': plain = '\n'; break;
    case 'r': plain = '\r'; break;
    case 't': plain = '\t'; break;
    case 'u': break;
    default: return std::unexpected(error(SyntaxCode::InvalidEscape));
  }
  if (c != 'u') {
    if (resolve) out.push_back(plain);
    return {};
  }
  // Four hexadecimal digits; a bad one is blamed on itself.
  const auto read_hex4 = [this]() -> std::expected<std::uint32_t, SyntaxError> {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = peek();
      if (digit == end_of_text) {
        return std::unexpected(error_at(SyntaxCode::EofWhileParsingString, text_.size()));
      }
      advance();
      const int v = hex_value(digit);
      if (v < 0) return std::unexpected(error(SyntaxCode::InvalidEscape));
      value = (value << 4) | static_cast<std::uint32_t>(v);
    }
    return value;
  };
  auto first = read_hex4();
  if (!first) return std::unexpected(first.error());
  if (!resolve) return {};
  const std::uint32_t high = *first;
  if (high >= 0xDC00 && high <= 0xDFFF) {
    return std::unexpected(error(SyntaxCode::LoneLeadingSurrogateInHexEscape));
  }
  if (high < 0xD800 || high > 0xDBFF) {
    append_utf8(out, high);
    return {};
  }
  // A high surrogate must be followed by a backslash-u low surrogate.
  for (const char expected : {'\\', 'u'}) {
    const int next = peek();
    if (next == end_of_text) return eof();
    advance();
    if (next != expected) return std::unexpected(error(SyntaxCode::UnexpectedEndOfHexEscape));
  }
  auto second = read_hex4();
  if (!second) return std::unexpected(second.error());
  const std::uint32_t low = *second;
  if (low < 0xDC00 || low > 0xDFFF) {
    return std::unexpected(error(SyntaxCode::LoneLeadingSurrogateInHexEscape));
  }
  append_utf8(out, 0x10000 + (((high - 0xD800) << 10) | (low - 0xDC00)));
  return {};
}

std::expected<Number, SyntaxError> Cursor::read_number_fully() {
  bool negative = false;
  if (peek() == '-') {
    negative = true;
    advance();
  }
  int c = peek();
  if (c == end_of_text) return std::unexpected(error(SyntaxCode::EofWhileParsingValue));
  if (!is_digit(c)) {
    advance();
    return std::unexpected(error(SyntaxCode::InvalidNumber));
  }

  // The significand keeps the leading digits that fit in 64 bits; later
  // integer digits raise the exponent and later fraction digits are dropped.
  std::uint64_t significand = 0;
  std::int64_t exponent = 0;
  bool overflowed = false;
  advance();
  if (c == '0') {
    if (is_digit(peek())) return std::unexpected(peek_error(SyntaxCode::InvalidNumber));
  } else {
    significand = static_cast<std::uint64_t>(c - '0');
    while (is_digit(c = peek())) {
      advance();
      const int digit = c - '0';
      if (overflowed || overflows(significand, digit)) {
        overflowed = true;
        ++exponent;
      } else {
        significand = significand * 10 + static_cast<std::uint64_t>(digit);
      }
    }
  }

  bool is_float = overflowed;
  if (peek() == '.') {
    is_float = true;
    advance();
    std::size_t fraction_digits = 0;
    while (is_digit(c = peek())) {
      advance();
      ++fraction_digits;
      const int digit = c - '0';
      if (overflowed || overflows(significand, digit)) {
        overflowed = true;
      } else {
        significand = significand * 10 + static_cast<std::uint64_t>(digit);
        --exponent;
      }
    }
    if (fraction_digits == 0) {
      return std::unexpected(peek_error(peek() == end_of_text ? SyntaxCode::EofWhileParsingValue
                                                              : SyntaxCode::InvalidNumber));
    }
  }

  if (c = peek(); c == 'e' || c == 'E') {
    is_float = true;
    advance();
    bool negative_exponent = false;
    if (c = peek(); c == '+' || c == '-') {
      negative_exponent = c == '-';
      advance();
    }
    c = peek();
    if (c == end_of_text) return std::unexpected(error(SyntaxCode::EofWhileParsingValue));
    advance();
    if (!is_digit(c)) return std::unexpected(error(SyntaxCode::InvalidNumber));
    std::int64_t written = c - '0';
    while (is_digit(c = peek())) {
      advance();
      written = written * 10 + (c - '0');
      if (written > exponent_limit) {
        // An exponent beyond any double: zero for a zero significand or a
        // negative exponent, out of range otherwise.
        if (significand != 0 && !negative_exponent) {
          return std::unexpected(error(SyntaxCode::NumberOutOfRange));
        }
        while (is_digit(peek())) advance();
        return Number::from_f64(negative ? -0.0 : 0.0);
      }
    }
    exponent += negative_exponent ? -written : written;
    exponent = std::clamp<std::int64_t>(exponent, -exponent_limit - 1, exponent_limit);
  }

  if (!is_float) {
    if (!negative) return Number::from_u64(significand);
    if (significand == 0) return Number::from_f64(-0.0);
    constexpr std::uint64_t min_magnitude = std::uint64_t{1} << 63;
    if (significand < min_magnitude) return Number::from_i64(-static_cast<std::int64_t>(significand));
    if (significand == min_magnitude) return Number::from_i64(std::numeric_limits<std::int64_t>::min());
    return Number::from_f64(-static_cast<double>(significand));
  }

  // One rounding for the significand, one for the scaling by a power of ten.
  double value = static_cast<double>(significand);
  for (;;) {
    if (exponent >= -max_pow10 && exponent <= max_pow10) {
      if (exponent >= 0) {
        value *= pow10[static_cast<std::size_t>(exponent)];
        if (value == std::numeric_limits<double>::infinity()) {
          return std::unexpected(error(SyntaxCode::NumberOutOfRange));
        }
      } else {
        value /= pow10[static_cast<std::size_t>(-exponent)];
      }
      break;
    }
    if (value == 0.0) break;
    if (exponent >= 0) return std::unexpected(error(SyntaxCode::NumberOutOfRange));
    value /= pow10[max_pow10];
    exponent += max_pow10;
  }
  return Number::from_f64(negative ? -value : value);
}

std::expected<void, SyntaxError> Cursor::expect_word(std::string_view rest) {
  for (const char expected : rest) {
    const int c = peek();
    if (c == end_of_text) return std::unexpected(error(SyntaxCode::EofWhileParsingValue));
    advance();
    if (c != static_cast<unsigned char>(expected)) {
      return std::unexpected(error(SyntaxCode::ExpectedSomeIdent));
    }
  }
  return {};
}

std::expected<bool, SyntaxError> Cursor::read_literal() {
  const int c = peek();
  advance();
  std::expected<void, SyntaxError> read;
  switch (c) {
    case 'n': read = expect_word("ull"); break;
    case 't': read = expect_word("rue"); break;
    default: read = expect_word("alse"); break;
  }
  if (!read) return std::unexpected(read.error());
  return c == 't';
}

std::expected<void, SyntaxError> Cursor::skip_number() {
  // The grammar of read_number_fully(), with its faults at the same places.
  if (peek() == '-') advance();
  int c = peek();
  if (c == end_of_text) return std::unexpected(error(SyntaxCode::EofWhileParsingValue));
  advance();
  if (!is_digit(c)) return std::unexpected(error(SyntaxCode::InvalidNumber));
  if (c == '0') {
    if (is_digit(peek())) return std::unexpected(peek_error(SyntaxCode::InvalidNumber));
  } else {
    while (is_digit(peek())) advance();
  }
  if (peek() == '.') {
    advance();
    if (!is_digit(peek())) {
      return std::unexpected(peek_error(peek() == end_of_text ? SyntaxCode::EofWhileParsingValue
                                                              : SyntaxCode::InvalidNumber));
    }
    while (is_digit(peek())) advance();
  }
  if (c = peek(); c == 'e' || c == 'E') {
    advance();
    if (c = peek(); c == '+' || c == '-') advance();
    c = peek();
    if (c == end_of_text) return std::unexpected(error(SyntaxCode::EofWhileParsingValue));
    advance();
    if (!is_digit(c)) return std::unexpected(error(SyntaxCode::InvalidNumber));
    while (is_digit(peek())) advance();
  }
  return {};
}

std::expected<void, SyntaxError> Cursor::skip_string() {
  advance();  // the opening quote
  std::string unused;
  for (;;) {
    offset_ = find_string_stop(text_, offset_);
    if (offset_ >= text_.size()) {
      return std::unexpected(error_at(SyntaxCode::EofWhileParsingString, text_.size()));
    }
    const auto stop = static_cast<unsigned char>(text_[offset_]);
    ++offset_;
    if (stop == '"') return {};
    if (stop < 0x20) {
      return std::unexpected(error_at(SyntaxCode::ControlCharacterWhileParsingString, offset_));
    }
    if (auto escaped = read_escape(unused, false); !escaped) return escaped;
  }
}

std::expected<void, SyntaxError> Cursor::skip_value() {
  SkipSink sink;
  std::vector<std::uint8_t> frames;
  std::string scratch;
  return read_value(*this, sink, frames, scratch, std::numeric_limits<std::size_t>::max());
}

std::expected<void, SyntaxError> Cursor::finish() {
  if (peek_token() != end_of_text) return std::unexpected(peek_error(SyntaxCode::TrailingCharacters));
  return {};
}

}  // namespace fenmor::json
