#pragma once
// The message forms of the record decoders ("invalid type: ...", "missing
// field `...`") and the texts that describe an unexpected JSON value in them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "json/number.hpp"

namespace fenmor::json {

class Node;

// The JSON value a decoder found, as far as its message needs it.
struct Unexpected {
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Sequence, Map };
  Kind kind = Kind::Null;
  bool boolean = false;
  Number number;
  std::string_view text;  // Kind::String

  static Unexpected null() { return {}; }
  static Unexpected of_bool(bool value);
  static Unexpected of_number(Number value);
  static Unexpected of_string(std::string_view value);
  static Unexpected sequence();
  static Unexpected map();
  static Unexpected of(const Node& node);
};

// "null", "boolean `true`", "integer `5`", "floating point `1.5`",
// "string \"x\"", "sequence", "map".
std::string unexpected_text(const Unexpected& value);

std::string invalid_type(const Unexpected& found, std::string_view expected);
std::string invalid_value(const Unexpected& found, std::string_view expected);
std::string invalid_length(std::size_t count, std::string_view expected);
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
// "unknown variant `x`, expected `a`" / "`a` or `b`" / "one of `a`, `b`, `c`"
std::string unknown_variant(std::string_view name, std::span<const std::string_view> expected);

}  // namespace fenmor::json
