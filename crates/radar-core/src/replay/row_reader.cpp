#include "crates/radar-core/src/replay/row_reader.hpp"

#include <charconv>
#include <cmath>
#include <utility>

#include "crates/radar-core/src/convert/line_writer.hpp"
#include "crates/radar-core/src/convert/utf8.hpp"
#include "crates/radar-core/src/event_schema.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/replay/symbol_route.hpp"

namespace fenmor::replay {

namespace {

using event_schema::FieldType;
using event_schema::VariantId;

bool is_utf8(std::string_view text) noexcept {
  const convert::Utf8Check check = convert::check_utf8(text);
  return !check.broken && check.valid == text.size();
}

std::int8_t kind_code(std::string_view text) noexcept {
  for (const event_schema::Variant& variant : event_schema::variants) {
    if (variant.tag == text) return static_cast<std::int8_t>(variant.id);
  }
  return -1;
}

std::int8_t side_code(std::string_view text) noexcept {
  if (text == "buy") return static_cast<std::int8_t>(Side::Buy);
  if (text == "sell") return static_cast<std::int8_t>(Side::Sell);
  return -1;
}

template <class Judge>
std::vector<std::int8_t> judged(const TextColumn& column, Judge&& judge) {
  std::vector<std::int8_t> codes(column.keys(), -1);
  for (std::size_t key = 0; key < codes.size(); ++key) {
    if (const auto text = column.text(key)) codes[key] = judge(*text);
  }
  return codes;
}

void append_integer(std::string& out, std::int64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string_view number_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "inf" : "-inf";
}

}  // namespace

RowReader::RowReader(const EventColumns& columns) : columns_(columns) {
  symbols_.resize(columns.symbol.keys());
  for (std::size_t key = 0; key < symbols_.size(); ++key) {
    const auto text = columns.symbol.text(key);
    if (!text) continue;
    symbols_[key] = Symbol{*text, symbol_hash(*text), is_utf8(*text)};
  }
  kinds_ = judged(columns.kind, kind_code);
  sides_ = judged(columns.side, side_code);
}

std::optional<Event> RowReader::event(std::size_t row) const noexcept {
  const auto symbol = columns_.symbol.key(row);
  if (!symbol || !symbols_[*symbol].usable) return std::nullopt;
  const auto kind = columns_.kind.key(row);
  if (!kind || kinds_[*kind] == none || !columns_.ts.has(row)) return std::nullopt;
  const auto id = static_cast<VariantId>(kinds_[*kind]);
  event_schema::FieldValues values;
  values.ts = columns_.ts.at(row);
  for (const event_schema::Field& field : event_schema::variant(id).fields) {
    if (field.type == FieldType::Float) {
      const ValueColumn<double>& column = columns_.numbers[field.name];
      if (!column.has(row)) return std::nullopt;
      const double value = column.at(row);
      if (!std::isfinite(value)) return std::nullopt;
      values.floats[field.number] = value;
    } else if (field.type == FieldType::Side) {
      const auto side = columns_.side.key(row);
      if (!side || sides_[*side] == none) return std::nullopt;
      values.side = static_cast<Side>(sides_[*side]);
    }
  }
  return event_schema::build(id, values);
}

std::string RowReader::line_text(std::size_t row) const {
  std::string out = "{";
  bool first = true;
  const auto member = [&](std::string_view name) {
    if (!first) out.push_back(',');
    first = false;
    append_json_string(out, name);
    out.push_back(':');
  };
  if (const auto key = columns_.symbol.key(row)) {
    if (const auto text = columns_.symbol.text(*key)) {
      member("symbol");
      append_json_string(out, *text);
    }
  }
  member("event");
  out.push_back('{');
  first = true;
  const auto text_member = [&](std::string_view name, const TextColumn& column) {
    const auto key = column.key(row);
    const auto text = key ? column.text(*key) : std::nullopt;
    if (!text) return;
    member(name);
    append_json_string(out, *text);
  };
  text_member(event_schema::names[event_schema::Kind], columns_.kind);
  if (columns_.ts.has(row)) {
    member(event_schema::names[event_schema::Ts]);
    append_integer(out, columns_.ts.at(row));
  }
  for (std::size_t n = 0; n < event_schema::name_count; ++n) {
    const ValueColumn<double>& column = columns_.numbers[n];
    if (!column.has(row)) continue;
    member(event_schema::names[n]);
    const double value = column.at(row);
    // JSON holds no NaN or infinity; the reader is told apart by read().
    if (std::isfinite(value)) {
      convert::append_repr_float(out, value);
    } else {
      out.append("null");
    }
  }
  text_member(event_schema::names[event_schema::SideName], columns_.side);
  out.append("}}");
  return out;
}

void RowReader::read(std::size_t row, std::uint64_t number, WorkingBuffers& buffers,
                     ReadLine& line) const {
  line.number = number;
  line.state = SymbolStates::unknown;
  if (const auto event = this->event(row)) {
    const Symbol& symbol = symbols_[*columns_.symbol.key(row)];
    line.reading = FeedCommand{symbol.text, *event};
    line.hash = symbol.hash;
    return;
  }
  if (const auto key = columns_.symbol.key(row); key && columns_.symbol.text(*key) && !symbols_[*key].usable) {
    line.reading = LineFault{"the symbol is not valid UTF-8", std::string("symbol")};
    return;
  }
  const std::string text = line_text(row);
  line.reading = read_recording_line(text, buffers);
  if (auto* fault = std::get_if<LineFault>(&line.reading)) {
    // A number JSON cannot hold was written as null: name what it was.
    if (fault->field && fault->field->starts_with("event.")) {
      const std::string_view name = std::string_view(*fault->field).substr(6);
      for (std::size_t n = 0; n < event_schema::name_count; ++n) {
        const ValueColumn<double>& column = columns_.numbers[n];
        if (event_schema::names[n] != name || !column.has(row) || std::isfinite(column.at(row))) continue;
        fault->message = "parse: invalid value: floating point `";
        fault->message.append(number_text(column.at(row)));
        fault->message.append("`, expected a finite f64");
      }
    }
    return;
  }
  // Never expected (event() takes every row the reader would), but kept
  // sound: the reading must not point into the text made here.
  if (auto* feed = std::get_if<FeedCommand>(&line.reading)) {
    line.symbol.assign(feed->symbol);
    feed->symbol = line.symbol;
    line.hash = symbol_hash(feed->symbol);
  }
}

}  // namespace fenmor::replay
