#pragma once
// The text of doubles: format_float for replies and messages, and the plain
// positional form used in signal keys.

#include <cstddef>
#include <string>

namespace fenmor::json {

// Shortest round-trip digits; positional for decimal exponents -5..15
// ("1.0", "0.00001", "1000000000000000.0"), exponent form otherwise ("1e-6",
// "1e+16"). "0.0" and "-0.0" for zeros. Only for finite values.
std::string format_float(double value);
void append_float(std::string& out, double value);

// The same text written at `out`, which has room for float_text_room bytes;
// returns the end of the text. For writers that fill a buffer directly.
inline constexpr std::size_t float_text_room = 48;
char* write_float(char* out, double value) noexcept;

// Shortest round-trip digits, always positional, no trailing ".0": "1",
// "0.05", "1000000000000000000000", "-0". Only for finite values.
void append_plain_decimal(std::string& out, double value);

}  // namespace fenmor::json
