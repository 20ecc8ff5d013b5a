#pragma once
// Recording lines of the radar's three event kinds, as the converter has
// always written them: numbers in their shortest round-trip digits laid out
// as Python's repr lays out a float ("0.0001", "1e-05", "1e+16", "5.0"), so a
// recording does not change when the converter that wrote it does.

#include <cstdint>
#include <string>
#include <string_view>

namespace fenmor::convert {

void append_repr_float(std::string& out, double value);

// `symbol_json` is the symbol's JSON text (quoted and escaped).
void append_derivatives_line(std::string& out, std::string_view symbol_json, std::int64_t ts,
                             double open_interest, double funding_rate, double mark_price);
void append_orderbook_line(std::string& out, std::string_view symbol_json, std::int64_t ts,
                           double bid_volume, double ask_volume, double best_bid, double best_ask);
void append_liquidation_line(std::string& out, std::string_view symbol_json, std::int64_t ts,
                             bool buy, double qty, double price);

}  // namespace fenmor::convert
