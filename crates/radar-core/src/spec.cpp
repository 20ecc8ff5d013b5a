#include "crates/radar-core/src/spec.hpp"

#include <cmath>
#include <cstdint>
#include <set>

#include "json/format_float.hpp"

namespace fenmor {

namespace {

// std::round (halves away from zero) without a call into the maths library:
// every reported number goes through it. Below 2^52 the whole part converts
// exactly and the fraction x - whole is exact; from 2^52 on every double is
// whole already. NaN and infinities come back as they are, and a result of
// zero keeps the sign of x, as std::round's does.
double round_half_away(double x) noexcept {
  constexpr double all_whole = 4503599627370496.0;  // 2^52
  if (!(std::fabs(x) < all_whole)) return x;
  const auto whole = static_cast<std::int64_t>(x);  // toward zero
  const double fraction = x - static_cast<double>(whole);
  const std::int64_t rounded = whole + (fraction >= 0.5 ? 1 : 0) - (fraction <= -0.5 ? 1 : 0);
  return std::copysign(static_cast<double>(rounded), x);
}

}  // namespace

double quantise(double x) noexcept {
  // Divide by the double nearest 1e-8 rather than multiply by 1e8: the two
  // differ in the last digit for some inputs, and keys must be stable.
  constexpr double quantum = 1e-8;
  return round_half_away(x / quantum) * quantum;
}

std::string signal_key(const Signal& signal) {
  std::string key(name(signal.kind));
  key += '(';
  for (std::size_t i = 0; i < signal.params.size(); ++i) {
    if (i > 0) key += ',';
    // A parameter beyond about 1.8e300 quantises to infinity, which has no
    // decimal digits to write.
    const double q = quantise(signal.params[i]);
    if (std::isfinite(q)) {
      json::append_plain_decimal(key, q);
    } else {
      key += q < 0 ? "-inf" : "inf";
    }
  }
  key += ')';
  return key;
}

std::expected<std::vector<std::string>, RadarError> validate(const RadarSpec& spec) {
  const auto fail = [](std::string message) {
    return std::unexpected(RadarError::bad_spec(std::move(message)));
  };
  if (spec.signals.empty()) return fail("at least one signal is required");
  if (!std::isfinite(spec.threshold)) return fail("threshold must be finite");
  if (spec.limit && *spec.limit == 0) return fail("limit must be greater than zero");

  std::vector<std::string> keys;
  keys.reserve(spec.signals.size());
  std::set<std::string_view> seen;
  for (const Signal& signal : spec.signals) {
    const std::string_view kind = name(signal.kind);
    if (signal.params.size() != parameter_count(signal.kind)) {
      return fail(std::string(kind) + " takes " + std::to_string(parameter_count(signal.kind)) +
                  " parameter(s), got " + std::to_string(signal.params.size()));
    }
    if (!std::isfinite(signal.weight) || signal.weight < 0) {
      return fail(std::string(kind) + " weight must be finite and non-negative");
    }
    keys.push_back(signal_key(signal));
    if (!seen.insert(keys.back()).second) return fail("duplicate signal: " + keys.back());
  }
  return keys;
}

}  // namespace fenmor
