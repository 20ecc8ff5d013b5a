#include "crates/radar-core/src/replay/row_lines.hpp"

#include <utility>
#include <variant>

#include "crates/radar-core/src/convert/line_writer.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/replay/row_reader.hpp"

namespace fenmor::replay {

void append_row_lines(const EventColumns& columns, std::uint64_t first_number, std::string& out,
                      std::vector<BadLine>& bad) {
  const RowReader reader(columns);
  WorkingBuffers& buffers = thread_working_buffers();
  std::vector<std::string> quoted(columns.symbol.keys());  // each symbol's JSON text, once
  ReadLine line;
  for (std::size_t row = 0; row < columns.rows; ++row) {
    const std::optional<Event> event = reader.event(row);
    if (!event) {
      reader.read(row, first_number + row, buffers, line);
      if (auto* fault = std::get_if<LineFault>(&line.reading)) {
        bad.push_back(BadLine{line.number, std::move(fault->message), std::move(fault->field)});
      }
      continue;
    }
    std::string& symbol = quoted[reader.symbol_key(row)];
    if (symbol.empty()) append_json_string(symbol, reader.symbol(row));
    std::visit(
        [&](const auto& e) {
          using T = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<T, Derivatives>) {
            convert::append_derivatives_line(out, symbol, e.ts, e.open_interest, e.funding_rate, e.mark_price);
          } else if constexpr (std::is_same_v<T, Orderbook>) {
            convert::append_orderbook_line(out, symbol, e.ts, e.bid_volume, e.ask_volume, e.best_bid, e.best_ask);
          } else {
            convert::append_liquidation_line(out, symbol, e.ts, e.side == Side::Buy, e.qty, e.price);
          }
        },
        *event);
  }
}

}  // namespace fenmor::replay
