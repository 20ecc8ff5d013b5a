#pragma once
// Numbers in vendor CSV fields, read as the converter has always read them:
// the grammar of Python's int() and float() (surrounding whitespace, a sign,
// underscores between digits, "inf" and "nan" in any case), over ASCII text.

#include <cstdint>
#include <expected>
#include <string_view>

namespace fenmor::convert {

enum class NumberFault : std::uint8_t { NotNumber, OutOfRange };

// The text without the whitespace Python's str.strip() removes (UTF-8).
std::string_view strip_space(std::string_view text) noexcept;

// A whole number that fits in 64 bits.
std::expected<std::int64_t, NumberFault> parse_integer(std::string_view text) noexcept;

// A double, possibly infinite or NaN ("inf", "1e999"): finiteness is the caller's rule.
std::expected<double, NumberFault> parse_float(std::string_view text);

}  // namespace fenmor::convert
