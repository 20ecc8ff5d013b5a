#pragma once
// What a row of each kind says, or why it is a bad row. Only the fields an
// event uses are judged; an empty ticker field means "unchanged".

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/convert/layouts.hpp"

namespace fenmor::convert {

// A bad row's message is `message`, followed by the Python-quoted `text` when
// `quoted` (the caller quotes, so that the message reads as it always has).
struct RowFault {
  std::string message;
  std::string text;
  bool quoted = false;
};

struct RowValues {
  std::int64_t ts = 0;  // milliseconds
  std::string_view symbol;
  // Ticker: open_interest, funding_rate, mark_price. Book and quotes: best
  // bid, bid volume, best ask, ask volume. Liquidation: qty, price.
  std::array<double, 4> numbers{};
  std::array<bool, 4> known{};  // ticker: the value was given; book: the best price exists
  bool buy = false;
};

// The values of a row holding at least `layout.width` fields; `columns` is
// room for the kind's fields, reused from row to row.
bool read_row(std::span<const std::string_view> fields, const Layout& layout,
              std::vector<std::string_view>& columns, RowValues& values, RowFault& fault);

// A finite double or the fault naming the field (`name` is not a finite number: ...).
bool read_finite(std::string_view text, std::string_view name, double& value, RowFault& fault);
void not_a_number(std::string_view text, RowFault& fault);

}  // namespace fenmor::convert
