#include "crates/radar-core/src/protocol/replies.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "json/format_float.hpp"

namespace fenmor {

namespace {

// 0 for bytes copied as they are, otherwise the letter after the backslash;
// 'u' for the control bytes that have no short escape.
constexpr std::array<char, 256> escape_table = [] {
  std::array<char, 256> table{};
  for (std::size_t byte = 0; byte < 0x20; ++byte) table[byte] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

template <class Integer>
void append_integer(std::string& out, Integer value) {
  std::array<char, 24> digits;
  auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  (void)ec;  // 24 bytes hold every 64-bit value
  out.append(digits.data(), end);
}

// The text's bytes with the escapes of a JSON string, without the quotes.
void append_escaped(std::string& out, std::string_view text) {
  static constexpr std::string_view hex = "0123456789abcdef";
  // Copy runs of plain bytes in one go: most texts (symbols, factor names)
  // need no escape at all.
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const char escape = escape_table[byte];
    if (escape == 0) continue;
    out.append(text.data() + run_start, i - run_start);
    run_start = i + 1;
    out.push_back('\\');
    out.push_back(escape);
    if (escape == 'u') {
      out.append("00");
      out.push_back(hex[byte >> 4]);
      out.push_back(hex[byte & 0x0F]);
    }
  }
  out.append(text.data() + run_start, text.size() - run_start);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  append_escaped(out, text);
  out.push_back('"');
}

void append_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  json::append_float(out, value);
}

void append_json_int(std::string& out, std::int64_t value) { append_integer(out, value); }

void append_json_uint(std::string& out, std::uint64_t value) { append_integer(out, value); }

void write_error_reply(std::string& out, const RadarError& error) {
  // The members sorted by name: "error" before "ok". The prefix is written
  // apart from the message so that the error's text is never built first.
  out.append(R"({"error":")");
  out.append(error.kind == ErrorKind::Parse ? "parse: " : "bad spec: ");
  append_escaped(out, error.message);
  out.append(R"(","ok":false})");
}

namespace {

// The escaped text of `text` at `out`, which has room for six bytes per byte
// of text (the longest escape); returns the end.
char* write_escaped(char* out, std::string_view text) noexcept {
  static constexpr std::string_view hex = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const char escape = escape_table[byte];
    if (escape == 0) {
      *out++ = c;
      continue;
    }
    *out++ = '\\';
    *out++ = escape;
    if (escape == 'u') {
      *out++ = '0';
      *out++ = '0';
      *out++ = hex[byte >> 4];
      *out++ = hex[byte & 0x0F];
    }
  }
  return out;
}

char* write_text(char* out, std::string_view text) noexcept {
  return std::copy(text.begin(), text.end(), out);
}

char* write_double(char* out, double value) noexcept {
  if (!std::isfinite(value)) return write_text(out, "null");
  return json::write_float(out, value);
}

}  // namespace

void write_alerts_reply(std::string& out, const ScanResult& result) {
  // Every alert has the same factor names: each is escaped once, with its
  // quotes, colon and the comma before it, for all alerts.
  std::vector<std::string> factor_prefixes;
  factor_prefixes.reserve(result.factor_names.size());
  std::size_t prefixes_size = 0;
  for (const std::string& name : result.factor_names) {
    std::string prefix = factor_prefixes.empty() ? "" : ",";
    append_json_string(prefix, name);
    prefix.push_back(':');
    prefixes_size += prefix.size();
    factor_prefixes.push_back(std::move(prefix));
  }
  // Room for the whole reply at once, so that a large one is not copied
  // over and over as it grows.
  const std::size_t factors_room = prefixes_size + factor_prefixes.size() * json::float_text_room;
  constexpr std::size_t members_room = 64 + json::float_text_room + 24;  // names, severity, ts
  std::size_t estimate = out.size() + 32;
  for (const Alert& alert : result.alerts) estimate += alert.symbol.size() + factors_room + 80;
  out.reserve(estimate);

  out.append(R"({"alerts":[)");
  bool first_alert = true;
  for (const Alert& alert : result.alerts) {
    // Each alert is written straight into the reply's buffer, with room for
    // its longest possible text; the buffer is then cut to what was written.
    const std::size_t room = 6 * alert.symbol.size() + factors_room + members_room;
    const std::size_t count = std::min(factor_prefixes.size(), alert.factors.size());
    const std::size_t written = out.size();
    out.resize_and_overwrite(written + room, [&](char* data, std::size_t) {
      char* p = data + written;
      if (!first_alert) *p++ = ',';
      p = write_text(p, R"({"symbol":")");
      p = write_escaped(p, alert.symbol);
      p = write_text(p, R"(","severity":)");
      p = write_double(p, alert.severity);
      p = write_text(p, R"(,"factors":{)");
      for (std::size_t i = 0; i < count; ++i) {
        p = write_text(p, factor_prefixes[i]);
        p = write_double(p, alert.factors[i]);
      }
      p = write_text(p, R"(},"ts":)");
      p = std::to_chars(p, p + 24, alert.ts).ptr;  // 24 bytes hold every 64-bit value
      *p++ = '}';
      // The room is computed, not measured: a text longer than it would have
      // run past the buffer's end.
      assert(static_cast<std::size_t>(p - data) - written <= room);
      return static_cast<std::size_t>(p - data);
    });
    first_alert = false;
  }
  out.append(R"(],"scanned":)");
  append_json_uint(out, result.scanned);
  out.push_back('}');
}

void write_alert(std::string& out, const Alert& alert, std::span<const std::string> factor_names) {
  out.append(R"({"symbol":)");
  append_json_string(out, alert.symbol);
  out.append(R"(,"severity":)");
  append_json_double(out, alert.severity);
  out.append(R"(,"factors":{)");
  const std::size_t count = std::min(factor_names.size(), alert.factors.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out.push_back(',');
    append_json_string(out, factor_names[i]);
    out.push_back(':');
    append_json_double(out, alert.factors[i]);
  }
  out.append(R"(},"ts":)");
  append_json_int(out, alert.ts);
  out.push_back('}');
}

}  // namespace fenmor
