#include "crates/radar-core/src/convert/line_writer.hpp"

#include <charconv>

namespace fenmor::convert {

namespace {

void append_integer(std::string& out, std::int64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void append_head(std::string& out, std::string_view symbol_json, std::string_view kind, std::int64_t ts) {
  out += "{\"symbol\":";
  out += symbol_json;
  out += ",\"event\":{\"kind\":\"";
  out += kind;
  out += "\",\"ts\":";
  append_integer(out, ts);
}

void append_field(std::string& out, std::string_view name, double value) {
  out += ",\"";
  out += name;
  out += "\":";
  append_repr_float(out, value);
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
  append_head(out, symbol_json, "derivatives", ts);
  append_field(out, "open_interest", open_interest);
  append_field(out, "funding_rate", funding_rate);
  append_field(out, "mark_price", mark_price);
  out += "}}\n";
}

void append_orderbook_line(std::string& out, std::string_view symbol_json, std::int64_t ts,
                           double bid_volume, double ask_volume, double best_bid, double best_ask) {
  append_head(out, symbol_json, "orderbook", ts);
  append_field(out, "bid_volume", bid_volume);
  append_field(out, "ask_volume", ask_volume);
  append_field(out, "best_bid", best_bid);
  append_field(out, "best_ask", best_ask);
  out += "}}\n";
}

void append_liquidation_line(std::string& out, std::string_view symbol_json, std::int64_t ts,
                             bool buy, double qty, double price) {
  append_head(out, symbol_json, "liquidation", ts);
  out += buy ? ",\"side\":\"buy\"" : ",\"side\":\"sell\"";
  append_field(out, "qty", qty);
  append_field(out, "price", price);
  out += "}}\n";
}

}  // namespace fenmor::convert
