#include "crates/radar-core/src/replay/event_packet.hpp"

#include <array>
#include <cstring>
#include <type_traits>
#include <variant>

namespace fenmor::replay {

namespace {

struct Fields {
  std::uint8_t kind = 0;
  std::uint8_t side = 0;
  std::int64_t ts = 0;
  std::array<double, 4> values{};
};

Fields fields_of(const Event& event) {
  Fields fields;
  fields.kind = static_cast<std::uint8_t>(event.index());
  std::visit(
      [&](const auto& e) {
        using Kind = std::decay_t<decltype(e)>;
        fields.ts = e.ts;
        if constexpr (std::is_same_v<Kind, Derivatives>) {
          fields.values = {e.open_interest, e.funding_rate, e.mark_price, 0};
        } else if constexpr (std::is_same_v<Kind, Orderbook>) {
          fields.values = {e.bid_volume, e.ask_volume, e.best_bid, e.best_ask};
        } else {
          fields.side = static_cast<std::uint8_t>(e.side);
          fields.values = {e.qty, e.price, 0, 0};
        }
      },
      event);
  return fields;
}

template <typename T>
void put(char*& out, const T& value) {
  std::memcpy(out, &value, sizeof value);
  out += sizeof value;
}

template <typename T>
T get(const char*& in) {
  T value;
  std::memcpy(&value, in, sizeof value);
  in += sizeof value;
  return value;
}

}  // namespace

void append_packed_event(std::string& packet, std::uint64_t line, std::string_view symbol,
                         const Event& event) {
  const Fields fields = fields_of(event);
  const std::size_t start = packet.size();
  packet.resize(start + packed_event_head + symbol.size());
  char* out = packet.data() + start;
  put(out, line);
  put(out, static_cast<std::uint32_t>(symbol.size()));
  put(out, fields.kind);
  put(out, fields.side);
  put(out, std::uint16_t{0});
  put(out, fields.ts);
  for (const double value : fields.values) put(out, value);
  std::memcpy(out, symbol.data(), symbol.size());
}

std::optional<PackedEvent> read_packed_event(std::string_view packet, std::size_t& at) {
  if (packet.size() - at < packed_event_head) return std::nullopt;
  const char* in = packet.data() + at;
  const auto line = get<std::uint64_t>(in);
  const auto symbol_size = get<std::uint32_t>(in);
  const auto kind = get<std::uint8_t>(in);
  const auto side = get<std::uint8_t>(in);
  in += sizeof(std::uint16_t);
  const auto ts = get<std::int64_t>(in);
  std::array<double, 4> v{};
  for (double& value : v) value = get<double>(in);
  if (packet.size() - at - packed_event_head < symbol_size || side > 1) return std::nullopt;
  PackedEvent packed{line, std::string_view(in, symbol_size), Derivatives{}};
  switch (kind) {
    case 0:
      packed.event = Derivatives{ts, v[0], v[1], v[2]};
      break;
    case 1:
      packed.event = Orderbook{ts, v[0], v[1], v[2], v[3]};
      break;
    case 2:
      packed.event = Liquidation{ts, side == 0 ? Side::Buy : Side::Sell, v[0], v[1]};
      break;
    default:
      return std::nullopt;
  }
  at += packed_event_head + symbol_size;
  return packed;
}

}  // namespace fenmor::replay
