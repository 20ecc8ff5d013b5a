#pragma once
// A JSON number as the literal gives it: an unsigned or signed 64-bit integer
// for literals without fraction and exponent that fit, else a finite double.

#include <cstdint>

namespace fenmor::json {

enum class NumberKind : std::uint8_t { U64, I64, F64 };

struct Number {
  NumberKind kind = NumberKind::U64;
  union {
    std::uint64_t u64;
    std::int64_t i64;
    double f64;
  };
  Number() : u64(0) {}

  static Number from_u64(std::uint64_t v) { Number n; n.kind = NumberKind::U64; n.u64 = v; return n; }
  static Number from_i64(std::int64_t v) { Number n; n.kind = NumberKind::I64; n.i64 = v; return n; }
  static Number from_f64(double v) { Number n; n.kind = NumberKind::F64; n.f64 = v; return n; }

  // Any kind as a double: integers convert to the nearest double.
  double as_double() const noexcept {
    switch (kind) {
      case NumberKind::U64: return static_cast<double>(u64);
      case NumberKind::I64: return static_cast<double>(i64);
      case NumberKind::F64: break;
    }
    return f64;
  }
};

}  // namespace fenmor::json
