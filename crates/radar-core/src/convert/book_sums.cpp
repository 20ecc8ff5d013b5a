#include "crates/radar-core/src/convert/book_sums.hpp"

#include <cmath>

#include "crates/radar-core/src/convert/number_text.hpp"

namespace fenmor::convert {

namespace {

// Every level present: the amounts and the two best prices are read in one
// go, and any other price is not looked at. Sums start from 0.0 and add in
// level order, so that the totals are the same doubles as always.
// Returns false with `fault` set for a non-number; `finite` tells whether the
// result may stand.
bool sum_full_book(std::span<const std::string_view> fields, RowValues& values, RowFault& fault,
                   bool& finite) {
  double sums[2] = {0.0, 0.0};
  for (std::size_t side = 0; side < 2; ++side) {
    for (std::size_t at = 1 + 2 * side; at < fields.size(); at += 4) {
      const auto amount = parse_float(fields[at]);
      if (!amount) {
        not_a_number(fields[at], fault);
        return false;
      }
      sums[side] += *amount;
    }
  }
  double best[2];
  for (std::size_t side = 0; side < 2; ++side) {
    const auto price = parse_float(fields[2 * side]);
    if (!price) {
      not_a_number(fields[2 * side], fault);
      return false;
    }
    best[side] = *price;
  }
  finite = std::isfinite(sums[0] + sums[1] + best[0] + best[1]);
  values.numbers = {best[0], sums[0], best[1], sums[1]};
  values.known = {true, false, true, false};
  return true;
}

}  // namespace

bool sum_book(std::span<const std::string_view> fields, RowValues& values, RowFault& fault) {
  bool full = true;
  for (const std::string_view field : fields) {
    if (field.empty()) {
      full = false;
      break;
    }
  }
  if (full) {
    bool finite = false;
    if (!sum_full_book(fields, values, fault, finite)) return false;
    if (finite) return true;
    // A non-finite number: the level-by-level reading below names it.
  }
  double sums[2] = {0.0, 0.0};
  double best[2] = {0.0, 0.0};
  bool known[2] = {false, false};
  for (std::size_t start = 0; start < fields.size(); start += 4) {
    for (std::size_t side = 0; side < 2; ++side) {
      const std::size_t at = start + 2 * side;
      if (fields[at].empty()) continue;  // no order at this level
      double price = 0.0, amount = 0.0;
      if (!read_finite(fields[at], "price", price, fault)) return false;
      if (!read_finite(fields[at + 1], "amount", amount, fault)) return false;
      sums[side] += amount;
      if (!known[side]) {
        best[side] = price;
        known[side] = true;
      }
    }
  }
  if (!std::isfinite(sums[0] + sums[1])) {
    fault = {"the summed book volume is not a finite number", "", false};
    return false;
  }
  values.numbers = {best[0], sums[0], best[1], sums[1]};
  values.known = {known[0], false, known[1], false};
  return true;
}

}  // namespace fenmor::convert
