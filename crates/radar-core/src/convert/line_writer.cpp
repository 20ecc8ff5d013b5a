#include "crates/radar-core/src/convert/line_writer.hpp"

#include <charconv>
#include <cstddef>

#include "crates/radar-core/src/event_schema.hpp"

namespace fenmor::convert {

namespace {

void append_integer(std::string& out, std::int64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// One line: the event's members are the schema's, in its field order.
void append_line(std::string& out, std::string_view symbol_json, event_schema::VariantId id,
                 const event_schema::FieldValues& values) {
  const event_schema::Variant& variant = event_schema::variant(id);
  out += "{\"symbol\":";
  out += symbol_json;
  out += ",\"event\":{\"";
  out += event_schema::tag_member;
  out += "\":\"";
  out += variant.tag;
  out += '"';
  for (const event_schema::Field& field : variant.fields) {
    out += ",\"";
    out += event_schema::name_of(field);
    out += "\":";
    switch (field.type) {
      case event_schema::FieldType::Ts: append_integer(out, values.ts); break;
      case event_schema::FieldType::Float: append_repr_float(out, values.floats[field.number]); break;
      case event_schema::FieldType::Side:
        out += '"';
        out += event_schema::side_names[static_cast<std::size_t>(values.side)];
        out += '"';
        break;
    }
  }
  out += "}}\n";
}

}  // namespace

void append_repr_float(std::string& out, double value) {
  // The shortest digits in scientific form, "d.ddde+XX", then laid out.
  char text[40];
  const char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  const char* p = text;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[24];
  std::size_t count = 0;
  while (p < end && *p != 'e') {
    if (*p != '.') digits[count++] = *p;
    ++p;
  }
  // The exponent after "e", with its sign.
  const bool negative_exponent = p + 1 < end && p[1] == '-';
  int exponent = 0;
  for (const char* q = p + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
  if (negative_exponent) exponent = -exponent;
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= -4 || point > 16) {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits + 1, count - 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    append_integer(out, magnitude);
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, count);
  } else if (static_cast<std::size_t>(point) >= count) {
    out.append(digits, count);
    out.append(static_cast<std::size_t>(point) - count, '0');
    out += ".0";
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits + point, count - static_cast<std::size_t>(point));
  }
}

void append_derivatives_line(std::string& out, std::string_view symbol_json, std::int64_t ts,
                             double open_interest, double funding_rate, double mark_price) {
  append_line(out, symbol_json, event_schema::VariantId::Derivatives,
              {ts, Side::Buy, {open_interest, funding_rate, mark_price, 0.0}});
}

void append_orderbook_line(std::string& out, std::string_view symbol_json, std::int64_t ts,
                           double bid_volume, double ask_volume, double best_bid, double best_ask) {
  append_line(out, symbol_json, event_schema::VariantId::Orderbook,
              {ts, Side::Buy, {bid_volume, ask_volume, best_bid, best_ask}});
}

void append_liquidation_line(std::string& out, std::string_view symbol_json, std::int64_t ts,
                             bool buy, double qty, double price) {
  append_line(out, symbol_json, event_schema::VariantId::Liquidation,
              {ts, buy ? Side::Buy : Side::Sell, {qty, price, 0.0, 0.0}});
}

}  // namespace fenmor::convert
