#include "crates/radar-core/src/replay/line_columns.hpp"

#include <utility>
#include <variant>

#include "crates/radar-core/src/replay/line_splitter.hpp"
#include "crates/radar-core/src/replay/recording_line.hpp"

namespace fenmor::replay {

namespace {

using event_schema::FieldType;

void set_bit(std::vector<std::uint8_t>& bits, std::size_t index, bool value) {
  if (bits.size() <= index / 8) bits.resize(index / 8 + 1, 0);
  if (value) bits[index / 8] |= static_cast<std::uint8_t>(1u << (index % 8));
}

}  // namespace

void LineColumnsWriter::add_row(std::string_view symbol, const Event& event) {
  const std::size_t row = columns_.rows++;
  auto [found, added] = symbols_.try_emplace(std::string(symbol), static_cast<std::int32_t>(symbols_.size()));
  if (added) {
    columns_.symbol_data.append(symbol);
    columns_.symbol_offsets.push_back(static_cast<std::int32_t>(columns_.symbol_data.size()));
  }
  columns_.symbol.push_back(found->second);
  const auto id = static_cast<event_schema::VariantId>(event.index());
  columns_.kind.push_back(static_cast<std::int8_t>(id));
  columns_.ts.push_back(event_ts(event));

  std::array<double, 4> floats{};
  Side side = Side::Buy;
  std::visit(
      [&](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, Derivatives>) {
          floats = {e.open_interest, e.funding_rate, e.mark_price, 0};
        } else if constexpr (std::is_same_v<T, Orderbook>) {
          floats = {e.bid_volume, e.ask_volume, e.best_bid, e.best_ask};
        } else {
          floats = {e.qty, e.price, 0, 0};
          side = e.side;
        }
      },
      event);
  std::array<bool, event_schema::name_count> has{};
  std::array<double, event_schema::name_count> values{};
  bool has_side = false;
  for (const event_schema::Field& field : event_schema::variant(id).fields) {
    if (field.type == FieldType::Float) {
      has[field.name] = true;
      values[field.name] = floats[field.number];
    } else if (field.type == FieldType::Side) {
      has_side = true;
    }
  }
  for (std::size_t n = 0; n < event_schema::name_count; ++n) {
    if (n == event_schema::Kind || n == event_schema::Ts || n == event_schema::SideName) continue;
    columns_.numbers[n].push_back(values[n]);
    set_bit(columns_.present[n], row, has[n]);
  }
  columns_.side.push_back(has_side ? static_cast<std::int8_t>(side) : 0);
  set_bit(columns_.side_present, row, has_side);
}

void LineColumnsWriter::append(std::string_view text, std::uint64_t first_number) {
  LineSplitter splitter(false);
  WorkingBuffers& buffers = thread_working_buffers();
  const std::uint64_t base = first_number - 1;
  const auto on_line = [&](std::uint64_t number, std::string_view line) {
    LineReading reading = read_recording_line(line, buffers);
    if (const auto* feed = std::get_if<FeedCommand>(&reading)) {
      add_row(feed->symbol, feed->event);
    } else if (auto* fault = std::get_if<LineFault>(&reading)) {
      columns_.bad.push_back(BadLine{base + number, std::move(fault->message), std::move(fault->field)});
    }
    return true;
  };
  splitter.split(text, on_line);
  splitter.finish(true, on_line);
}

LineColumns LineColumnsWriter::take() {
  LineColumns taken = std::move(columns_);
  columns_ = LineColumns{};
  symbols_.clear();
  // Bitmaps cover every row, even when the last rows are all null.
  const std::size_t bytes = (taken.rows + 7) / 8;
  for (auto& bits : taken.present) {
    if (!bits.empty() || taken.rows > 0) bits.resize(bytes, 0);
  }
  taken.side_present.resize(bytes, 0);
  return taken;
}

}  // namespace fenmor::replay
