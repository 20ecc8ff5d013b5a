// Packed events come back exactly as decoded (every double bit for bit, the
// symbol's bytes as they were), and bytes that are not whole packed events
// are refused rather than read past their end.

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

TEST(EventPacket, EveryKindComesBackBitForBit) {
  std::string packet;
  for (const Sample& sample : samples()) append_packed_event(packet, sample.line, sample.symbol, sample.event);
  std::size_t at = 0;
  for (const Sample& sample : samples()) {
    const std::optional<PackedEvent> read = read_packed_event(packet, at);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->line, sample.line);
    EXPECT_EQ(read->symbol, sample.symbol);
    EXPECT_TRUE(same_bits(read->event, sample.event));
  }
  EXPECT_EQ(at, packet.size());
}

TEST(EventPacket, BytesThatAreNotWholeEventsAreRefused) {
  std::string packet;
  append_packed_event(packet, 1, "BTCUSDT", Derivatives{1, 2, 3, 4});
  for (std::size_t size = 0; size < packet.size(); ++size) {  // cut anywhere, symbol included
    std::size_t at = 0;
    EXPECT_FALSE(read_packed_event(std::string_view(packet).substr(0, size), at)) << size;
    EXPECT_EQ(at, 0U);
  }
  std::string unknown_kind = packet;
  unknown_kind[12] = 3;
  std::size_t at = 0;
  EXPECT_FALSE(read_packed_event(unknown_kind, at));
  std::string bad_side = packet;
  bad_side[13] = 2;
  EXPECT_FALSE(read_packed_event(bad_side, at));
}

}  // namespace
}  // namespace fenmor::replay
