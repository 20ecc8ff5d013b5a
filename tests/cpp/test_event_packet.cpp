// Packed events come back exactly as decoded (every double bit for bit, the
// symbol's bytes as they were, lines and ts whatever their differences), and
// bytes that are not a whole packet are refused rather than read past their
// end.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "crates/radar-core/src/replay/event_packet.hpp"
#include "crates/radar-core/src/replay/symbol_route.hpp"

namespace fenmor::replay {
namespace {

struct Sample {
  std::uint64_t line;
  std::string symbol;
  Event event;
};

std::vector<Sample> samples() {
  const double tiny = std::numeric_limits<double>::denorm_min();
  return {
      {1, "BTCUSDT", Derivatives{1'700'000'000'000, 1.5e9, -0.0, 65'000.125}},
      {7, "", Orderbook{-5, tiny, 1e308, 0.1, 0.30000000000000004}},
      {(1ULL << 40) + 3, "ÄÖ\xff\n\"", Liquidation{42, Side::Sell, 3.0, 2.5e-12}},
      {9, "ETH", Liquidation{43, Side::Buy, 0.0, 1.0}},
  };
}

bool same_bits(const Event& a, const Event& b) {
  if (a.index() != b.index()) return false;
  const auto bits = [](double value) { return std::bit_cast<std::uint64_t>(value); };
  return std::visit(
      [&](const auto& x) {
        using Kind = std::decay_t<decltype(x)>;
        const auto& y = std::get<Kind>(b);
        if constexpr (std::is_same_v<Kind, Derivatives>) {
          return x.ts == y.ts && bits(x.open_interest) == bits(y.open_interest) &&
                 bits(x.funding_rate) == bits(y.funding_rate) &&
                 bits(x.mark_price) == bits(y.mark_price);
        } else if constexpr (std::is_same_v<Kind, Orderbook>) {
          return x.ts == y.ts && bits(x.bid_volume) == bits(y.bid_volume) &&
                 bits(x.ask_volume) == bits(y.ask_volume) && bits(x.best_bid) == bits(y.best_bid) &&
                 bits(x.best_ask) == bits(y.best_ask);
        } else {
          return x.ts == y.ts && x.side == y.side && bits(x.qty) == bits(y.qty) &&
                 bits(x.price) == bits(y.price);
        }
      },
      a);
}

std::vector<Sample> read_back(std::string_view packet) {
  PacketReader reader(packet);
  std::vector<std::string_view> symbols;
  EXPECT_TRUE(reader.read_symbols(symbols));
  std::vector<Sample> out;
  PackedEvent packed{0, 0, Derivatives{}};
  PacketReader::Next next;
  while ((next = reader.next(packed)) == PacketReader::Next::event) {
    out.push_back(Sample{packed.line, std::string(symbols.at(packed.symbol)), packed.event});
  }
  EXPECT_EQ(next, PacketReader::Next::end);
  return out;
}

std::string packet_of(const std::vector<Sample>& events) {
  PacketWriter writer;
  for (const Sample& sample : events) {
    writer.add(sample.line, sample.symbol, symbol_hash(sample.symbol), sample.event);
  }
  return writer.packet();
}

void expect_same(const std::vector<Sample>& got, const std::vector<Sample>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(got[k].line, want[k].line) << k;
    EXPECT_EQ(got[k].symbol, want[k].symbol) << k;
    EXPECT_TRUE(same_bits(got[k].event, want[k].event)) << k;
  }
}

// ts going back and jumping across the whole range, lines far apart, a
// symbol coming back after others: differences must round-trip whatever
// their size or sign.
TEST(EventPacket, EveryKindComesBackBitForBit) {
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
  std::vector<Sample> events = samples();
  events.push_back({(1ULL << 40) + 4, "BTCUSDT", Derivatives{lowest, 1, 2, 3}});
  events.push_back({(1ULL << 41), "ETH", Orderbook{highest, 1, 2, 3, 4}});
  events.push_back({~0ULL, "", Liquidation{lowest, Side::Sell, 1, 2}});
  const std::string packet = packet_of(events);
  expect_same(read_back(packet), events);
  // Symbols are written once each: three events of BTCUSDT cost its bytes
  // once, and each event four bytes besides its doubles.
  std::vector<Sample> same_symbol(3, Sample{1, "BTCUSDT", Derivatives{1, 2, 3, 4}});
  for (std::size_t k = 0; k < same_symbol.size(); ++k) same_symbol[k].line = k + 1;
  EXPECT_EQ(packet_of(same_symbol).size(), 1 + 1 + 7 + 3 * (4 + 3 * sizeof(double)));
}

// Far more symbols than fit in a byte or two of number, each used twice.
TEST(EventPacket, ManySymbolsKeepTheirNumbers) {
  std::vector<Sample> events;
  for (std::uint64_t k = 0; k < 140'000; ++k) {
    events.push_back({k + 1, "S" + std::to_string(k % 70'000), Orderbook{static_cast<std::int64_t>(k), 1, 2, 3, 4}});
  }
  expect_same(read_back(packet_of(events)), events);
}

TEST(EventPacket, AClearedWriterStartsAFreshPacket) {
  PacketWriter writer;
  writer.add(5, "ETH", symbol_hash("ETH"), Derivatives{100, 1, 2, 3});
  writer.clear();
  const std::vector<Sample> events{{2, "BTC", Derivatives{7, 1, 2, 3}}};
  writer.add(2, "BTC", symbol_hash("BTC"), Derivatives{7, 1, 2, 3});
  expect_same(read_back(writer.packet()), events);
}

TEST(EventPacket, BytesThatAreNotWholeEventsAreRefused) {
  const std::string packet = packet_of({{1, "BTCUSDT", Derivatives{1, 2, 3, 4}}});
  const std::size_t table = 1 + 1 + 7;  // one symbol, its size, its bytes
  const auto faults = [](std::string_view bytes) {
    PacketReader reader(bytes);
    std::vector<std::string_view> symbols;
    if (!reader.read_symbols(symbols)) return true;
    PackedEvent packed{0, 0, Derivatives{}};
    PacketReader::Next next;
    while ((next = reader.next(packed)) == PacketReader::Next::event) {
    }
    return next == PacketReader::Next::fault;
  };
  EXPECT_FALSE(faults(packet));
  for (std::size_t size = 0; size < packet.size(); ++size) {  // cut anywhere but after the table
    if (size != table) {
      EXPECT_TRUE(faults(std::string_view(packet).substr(0, size))) << size;
    }
  }
  const auto with = [&](std::size_t at, char value) {
    std::string bytes = packet;
    bytes[at] = value;
    return bytes;
  };
  EXPECT_TRUE(faults(with(table + 1, 3)));           // no such kind
  EXPECT_TRUE(faults(with(table + 1, 4)));           // a side on derivatives
  EXPECT_TRUE(faults(with(table + 2, 1)));           // no symbol numbered 1
  EXPECT_TRUE(faults(with(0, 0x7f)));                // more symbols than bytes
  EXPECT_TRUE(faults(std::string(11, '\xff')));      // a varint past 64 bits
}

}  // namespace
}  // namespace fenmor::replay
