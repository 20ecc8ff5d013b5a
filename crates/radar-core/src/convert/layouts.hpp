#pragma once
// The vendor's file kinds, recognised by their header: the one table of the
// columns each kind needs and the order in which the converter reads them.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fenmor::convert {

enum class Kind : std::uint8_t { DerivativeTicker, BookSnapshot, Quotes, Liquidations };

struct Layout {
  Kind kind = Kind::DerivativeTicker;
  std::size_t symbol = 0;
  std::size_t timestamp = 0;
  // Kind-specific columns: open_interest, funding_rate, mark_price for the
  // ticker; side, amount, price for liquidations; per level best first,
  // bids price and amount then asks price and amount, for books and quotes.
  std::vector<std::size_t> columns;
  std::size_t width = 0;         // fields a row needs to hold all of the above
  std::size_t header_width = 0;  // fields of the header, for messages
};

// The layout of a file from its header and, for liquidations (whose header is
// that of the trades files), its name; else the message naming the file.
std::expected<Layout, std::string> recognise(std::span<const std::string_view> header,
                                             std::string_view path, std::size_t depth);

}  // namespace fenmor::convert
