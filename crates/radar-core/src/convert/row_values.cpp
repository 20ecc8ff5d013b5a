#include "crates/radar-core/src/convert/row_values.hpp"

#include <cmath>

#include "crates/radar-core/src/convert/book_sums.hpp"
#include "crates/radar-core/src/convert/number_text.hpp"

namespace fenmor::convert {

namespace {

std::int64_t floor_div_1000(std::int64_t micros) noexcept {
  const std::int64_t quotient = micros / 1000;
  return (micros % 1000 < 0) ? quotient - 1 : quotient;
}

bool read_ticker(std::span<const std::string_view> fields, RowValues& values, RowFault& fault) {
  static constexpr std::string_view names[] = {"open_interest", "funding_rate", "mark_price"};
  for (std::size_t i = 0; i < 3; ++i) {
    values.known[i] = !fields[i].empty();
    if (values.known[i] && !read_finite(fields[i], names[i], values.numbers[i], fault)) return false;
  }
  return true;
}

bool read_liquidation(std::span<const std::string_view> fields, RowValues& values, RowFault& fault) {
  const std::string_view side = fields[0];
  if (side != "buy" && side != "sell") {
    fault = {"side must be \"buy\" or \"sell\", got ", std::string(side), true};
    return false;
  }
  values.buy = side == "buy";
  return read_finite(fields[1], "amount", values.numbers[0], fault) &&
         read_finite(fields[2], "price", values.numbers[1], fault);
}

}  // namespace

void not_a_number(std::string_view text, RowFault& fault) {
  fault = {"not a number: ", std::string(text), true};
}

bool read_finite(std::string_view text, std::string_view name, double& value, RowFault& fault) {
  const auto number = parse_float(text);
  if (!number) {
    not_a_number(text, fault);
    return false;
  }
  if (!std::isfinite(*number)) {
    fault = {std::string(name) + " is not a finite number: ", std::string(text), true};
    return false;
  }
  value = *number;
  return true;
}

bool read_row(std::span<const std::string_view> fields, const Layout& layout,
              std::vector<std::string_view>& columns, RowValues& values, RowFault& fault) {
  const std::string_view ts_text = fields[layout.timestamp];
  const auto micros = parse_integer(ts_text);
  if (!micros) {
    const bool range = micros.error() == NumberFault::OutOfRange;
    fault = {range ? "timestamp is out of range: " : "timestamp is not an integer: ",
             std::string(ts_text), true};
    return false;
  }
  values.ts = floor_div_1000(*micros);
  values.symbol = fields[layout.symbol];
  columns.clear();
  for (const std::size_t at : layout.columns) columns.push_back(fields[at]);
  switch (layout.kind) {
    case Kind::DerivativeTicker: return read_ticker(columns, values, fault);
    case Kind::Liquidations: return read_liquidation(columns, values, fault);
    case Kind::BookSnapshot:
    case Kind::Quotes: return sum_book(columns, values, fault);
  }
  return false;
}

}  // namespace fenmor::convert
