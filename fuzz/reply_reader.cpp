#include "fuzz/reply_reader.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <system_error>

#include "crates/radar-core/src/version.hpp"
#include "json/format_float.hpp"

namespace fenmor::fuzz {

namespace {

struct Member;

struct Value {
  enum class Kind : std::uint8_t { Null, True, False, Integer, Double, String, Array, Object };
  Kind kind = Kind::Null;
  std::string text;  // String: resolved bytes; Integer and Double: the literal
  std::vector<Value> items;
  std::vector<Member> members;
};

struct Member {
  std::string name;
  Value value;
};

using Read = std::expected<Value, std::string>;

// Replies nest four levels at most (reply, alerts, alert, factors).
constexpr int max_depth = 6;

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Read whole() {
    Read value = read(0);
    if (!value) return value;
    if (at_ != text_.size()) return fail("bytes after the reply");
    return value;
  }

 private:
  std::unexpected<std::string> fail(std::string what) const {
    return std::unexpected(what + " at byte " + std::to_string(at_));
  }
  bool done() const { return at_ >= text_.size(); }
  char peek() const { return text_[at_]; }

  bool take_word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  Read read(int depth) {
    if (depth > max_depth) return fail("nesting deeper than any reply");
    if (done()) return fail("end of text where a value is due");
    Value value;
    const char c = peek();
    if (c == '{') return read_object(depth);
    if (c == '[') return read_array(depth);
    if (c == '"') {
      auto text = read_string();
      if (!text) return std::unexpected(text.error());
      value.kind = Value::Kind::String;
      value.text = std::move(*text);
      return value;
    }
    if (take_word("null")) return value;
    if (take_word("true")) {
      value.kind = Value::Kind::True;
      return value;
    }
    if (take_word("false")) {
      value.kind = Value::Kind::False;
      return value;
    }
    if (c == '-' || (c >= '0' && c <= '9')) return read_number();
    // Whitespace lands here too: replies are compact.
    return fail("unexpected byte " + std::to_string(static_cast<unsigned char>(c)));
  }

  Read read_object(int depth) {
    Value value;
    value.kind = Value::Kind::Object;
    ++at_;
    if (!done() && peek() == '}') {
      ++at_;
      return value;
    }
    for (;;) {
      if (done() || peek() != '"') return fail("member name expected");
      auto name = read_string();
      if (!name) return std::unexpected(name.error());
      if (done() || peek() != ':') return fail("':' expected");
      ++at_;
      Read member = read(depth + 1);
      if (!member) return member;
      value.members.push_back(Member{std::move(*name), std::move(*member)});
      if (done()) return fail("end of text inside an object");
      if (peek() == ',') {
        ++at_;
        continue;
      }
      if (peek() == '}') {
        ++at_;
        return value;
      }
      return fail("',' or '}' expected");
    }
  }

  Read read_array(int depth) {
    Value value;
    value.kind = Value::Kind::Array;
    ++at_;
    if (!done() && peek() == ']') {
      ++at_;
      return value;
    }
    for (;;) {
      Read item = read(depth + 1);
      if (!item) return item;
      value.items.push_back(std::move(*item));
      if (done()) return fail("end of text inside an array");
      if (peek() == ',') {
        ++at_;
        continue;
      }
      if (peek() == ']') {
        ++at_;
        return value;
      }
      return fail("',' or ']' expected");
    }
  }

  // Only the escapes of the reply writer: \" \\ \b \t \n \f \r, and \u00xx
  // with lowercase hex for the other bytes below 0x20.
  std::expected<std::string, std::string> read_string() {
    std::string out;
    ++at_;
    for (;;) {
      if (done()) return fail("end of text inside a string");
      const auto byte = static_cast<unsigned char>(peek());
      ++at_;
      if (byte == '"') return out;
      if (byte < 0x20) return fail("raw control character in a string");
      if (byte != '\\') {
        out.push_back(static_cast<char>(byte));
        continue;
      }
      if (done()) return fail("end of text inside an escape");
      const char e = peek();
      ++at_;
      switch (e) {
        case '"': out.push_back('"'); continue;
        case '\\': out.push_back('\\'); continue;
        case 'b': out.push_back('\b'); continue;
        case 't': out.push_back('\t'); continue;
        case 'n': out.push_back('\n'); continue;
        case 'f': out.push_back('\f'); continue;
        case 'r': out.push_back('\r'); continue;
        case 'u': break;
        default: return fail("escape the writer never uses");
      }
      if (text_.size() - at_ < 4 || text_.substr(at_, 2) != "00") {
        return fail("\\u escape outside 0000-001f");
      }
      const int high = hex_digit(text_[at_ + 2]);
      const int low = hex_digit(text_[at_ + 3]);
      if (high < 0 || high > 1 || low < 0) return fail("\\u escape outside 0000-001f");
      const int code = high * 16 + low;
      if (code == 0x08 || code == 0x09 || code == 0x0A || code == 0x0C || code == 0x0D) {
        return fail("\\u escape where a short escape is due");
      }
      out.push_back(static_cast<char>(code));
      at_ += 4;
    }
  }

  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case too: the writer uses lowercase hex
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  Read read_number() {
    const std::size_t start = at_;
    bool is_integer = true;
    if (peek() == '-') ++at_;
    if (done()) return fail("number without digits");
    if (peek() == '0') {
      ++at_;
    } else if (!skip_digits()) {
      return fail("number without digits");
    }
    if (!done() && peek() == '.') {
      ++at_;
      is_integer = false;
      if (!skip_digits()) return fail("fraction without digits");
    }
    if (!done() && (peek() == 'e' || peek() == 'E')) {
      ++at_;
      is_integer = false;
      if (!done() && (peek() == '+' || peek() == '-')) ++at_;
      if (!skip_digits()) return fail("exponent without digits");
    }
    Value value;
    value.kind = is_integer ? Value::Kind::Integer : Value::Kind::Double;
    value.text = std::string(text_.substr(start, at_ - start));
    return value;
  }

  bool skip_digits() {
    const std::size_t start = at_;
    while (!done() && peek() >= '0' && peek() <= '9') ++at_;
    return at_ > start;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

using Kind = Value::Kind;

bool is_object_with(const Value& value, std::initializer_list<std::string_view> names) {
  if (value.kind != Kind::Object || value.members.size() != names.size()) return false;
  std::size_t i = 0;
  for (std::string_view name : names) {
    if (value.members[i++].name != name) return false;
  }
  return true;
}

template <class Int>
std::expected<Int, std::string> integer_of(const Value& value, std::string_view what) {
  if (value.kind != Kind::Integer) return std::unexpected(std::string(what) + " is not an integer");
  const std::string& text = value.text;
  Int out{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::unexpected(std::string(what) + " out of range: " + text);
  }
  // Plain decimal: no "-0" and nothing the writer would not produce.
  if (std::to_string(out) != text) return std::unexpected(std::string(what) + " not canonical");
  return out;
}

// A double written by the radar must read back and be written again the same
// way: the shortest round-trip digits.
std::expected<double, std::string> double_of(const Value& value, std::string_view what) {
  if (value.kind != Kind::Double) {
    return std::unexpected(std::string(what) + " is not a number with '.' or exponent");
  }
  const std::string& text = value.text;
  double out = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(out)) {
    return std::unexpected(std::string(what) + " does not read as a finite double: " + text);
  }
  if (json::format_float(out) != text) {
    return std::unexpected(std::string(what) + " not in shortest form: " + text);
  }
  return out;
}

std::expected<AlertReply, std::string> alert_of(const Value& value) {
  if (!is_object_with(value, {"symbol", "severity", "factors", "ts"})) {
    return std::unexpected("alert members are not symbol, severity, factors, ts");
  }
  AlertReply alert;
  const Value& symbol = value.members[0].value;
  if (symbol.kind != Kind::String) return std::unexpected("symbol is not a string");
  alert.symbol = symbol.text;
  // A severity that is not a number never passes the threshold, so an alert's
  // severity is always written as a number.
  auto severity = double_of(value.members[1].value, "severity");
  if (!severity) return std::unexpected(severity.error());
  alert.severity = *severity;
  const Value& factors = value.members[2].value;
  if (factors.kind != Kind::Object) return std::unexpected("factors is not an object");
  for (const auto& [name, factor] : factors.members) {
    auto number = double_of(factor, "factor");
    if (!number) return std::unexpected(number.error());
    if (!alert.factors.empty() && !(alert.factors.back().first < name)) {
      return std::unexpected("factor names not in ascending byte order: " + name);
    }
    alert.factors.emplace_back(name, *number);
  }
  if (alert.factors.empty() || alert.factors.back().first != "severity") {
    return std::unexpected("factors do not end with \"severity\"");
  }
  if (factors.members.back().value.text != value.members[1].value.text) {
    return std::unexpected("factor \"severity\" differs from the severity");
  }
  auto ts = integer_of<std::int64_t>(value.members[3].value, "ts");
  if (!ts) return std::unexpected(ts.error());
  alert.ts = *ts;
  return alert;
}

std::expected<Reply, std::string> shape_of(const Value& value) {
  Reply reply;
  if (is_object_with(value, {"ok"}) && value.members[0].value.kind == Kind::True) {
    reply.shape = ReplyShape::Ok;
    return reply;
  }
  if (is_object_with(value, {"version"}) && value.members[0].value.kind == Kind::String &&
      value.members[0].value.text == library_version) {
    reply.shape = ReplyShape::Version;
    return reply;
  }
  if (is_object_with(value, {"error", "ok"}) && value.members[0].value.kind == Kind::String &&
      value.members[1].value.kind == Kind::False) {
    reply.shape = ReplyShape::Error;
    reply.error = value.members[0].value.text;
    return reply;
  }
  if (is_object_with(value, {"alerts", "scanned"}) &&
      value.members[0].value.kind == Kind::Array) {
    reply.shape = ReplyShape::Alerts;
    for (const Value& item : value.members[0].value.items) {
      auto alert = alert_of(item);
      if (!alert) return std::unexpected(alert.error());
      reply.alerts.push_back(std::move(*alert));
    }
    auto scanned = integer_of<std::uint64_t>(value.members[1].value, "scanned");
    if (!scanned) return std::unexpected(scanned.error());
    reply.scanned = *scanned;
    return reply;
  }
  return std::unexpected("none of the four reply shapes");
}

}  // namespace

std::expected<Reply, std::string> read_reply(std::string_view text) {
  Read value = Reader(text).whole();
  if (!value) return std::unexpected(value.error());
  return shape_of(*value);
}

bool is_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace fenmor::fuzz
