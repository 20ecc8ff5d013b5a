#pragma once
// An order-book row as one event: the sizes of the levels read, summed per
// side, and the price of each side's first level. A level without a price is
// absent (a thin book).

#include <span>
#include <string_view>

#include "crates/radar-core/src/convert/row_values.hpp"

namespace fenmor::convert {

// `fields` holds, per level best first, bid price, bid amount, ask price, ask amount.
bool sum_book(std::span<const std::string_view> fields, RowValues& values, RowFault& fault);

}  // namespace fenmor::convert
