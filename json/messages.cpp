#include "json/messages.hpp"

#include <cstdio>

#include "json/document.hpp"
#include "json/format_float.hpp"

namespace fenmor::json {

Unexpected Unexpected::of_bool(bool value) {
  Unexpected u;
  u.kind = Kind::Bool;
  u.boolean = value;
  return u;
}

Unexpected Unexpected::of_number(Number value) {
  Unexpected u;
  u.kind = Kind::Number;
  u.number = value;
  return u;
}

Unexpected Unexpected::of_string(std::string_view value) {
  Unexpected u;
  u.kind = Kind::String;
  u.text = value;
  return u;
}

Unexpected Unexpected::sequence() {
  Unexpected u;
  u.kind = Kind::Sequence;
  return u;
}

Unexpected Unexpected::map() {
  Unexpected u;
  u.kind = Kind::Map;
  return u;
}

Unexpected Unexpected::of(const Node& node) {
  switch (node.kind()) {
    case NodeKind::Null: return null();
    case NodeKind::Bool: return of_bool(node.boolean());
    case NodeKind::U64:
    case NodeKind::I64:
    case NodeKind::F64: return of_number(node.number());
    case NodeKind::String: return of_string(node.string());
    case NodeKind::Array: return sequence();
    case NodeKind::Object: return map();
  }
  return null();
}

namespace {

// A string as a quoted literal: quotes, backslashes and control characters
// are escaped so that the message stays on one line and unambiguous.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case 0: out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[12];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

}  // namespace

std::string unexpected_text(const Unexpected& value) {
  switch (value.kind) {
    case Unexpected::Kind::Null: return "null";
    case Unexpected::Kind::Bool: return value.boolean ? "boolean `true`" : "boolean `false`";
    case Unexpected::Kind::Number:
      switch (value.number.kind) {
        case NumberKind::U64: return "integer `" + std::to_string(value.number.u64) + "`";
        case NumberKind::I64: return "integer `" + std::to_string(value.number.i64) + "`";
        case NumberKind::F64: return "floating point `" + format_float(value.number.f64) + "`";
      }
      break;
    case Unexpected::Kind::String: {
      std::string out = "string ";
      append_quoted(out, value.text);
      return out;
    }
    case Unexpected::Kind::Sequence: return "sequence";
    case Unexpected::Kind::Map: return "map";
  }
  return "null";
}

std::string invalid_type(const Unexpected& found, std::string_view expected) {
  return "invalid type: " + unexpected_text(found) + ", expected " + std::string(expected);
}

std::string invalid_value(const Unexpected& found, std::string_view expected) {
  return "invalid value: " + unexpected_text(found) + ", expected " + std::string(expected);
}

std::string invalid_length(std::size_t count, std::string_view expected) {
  return "invalid length " + std::to_string(count) + ", expected " + std::string(expected);
}

std::string missing_field(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

std::string duplicate_field(std::string_view name) {
  return "duplicate field `" + std::string(name) + "`";
}

std::string unknown_variant(std::string_view name, std::span<const std::string_view> expected) {
  std::string out = "unknown variant `" + std::string(name) + "`, expected ";
  if (expected.size() == 2) {
    return out + "`" + std::string(expected[0]) + "` or `" + std::string(expected[1]) + "`";
  }
  if (expected.size() > 2) out += "one of ";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (i > 0) out += ", ";
    out += "`" + std::string(expected[i]) + "`";
  }
  return out;
}

}  // namespace fenmor::json
