#include "crates/radar-core/src/replay/event_packet.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

namespace fenmor::replay {

namespace {

constexpr std::size_t varint_bytes = 10;  // at most, for 64 bits
// The most an event takes: line, tag, symbol, ts, four doubles.
constexpr std::size_t event_bytes = 3 * varint_bytes + 1 + 4 * sizeof(double);
constexpr std::uint8_t sell_tag = 4;

char* put_varint(char* out, std::uint64_t value) {
  while (value >= 0x80) {
    *out++ = static_cast<char>(static_cast<std::uint8_t>(value) | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<char>(value);
  return out;
}

std::size_t varint_size(std::uint64_t value) {
  std::size_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

// False when the bytes end within the varint or it runs past 64 bits.
bool get_varint(std::string_view bytes, std::size_t& at, std::uint64_t& value) {
  value = 0;
  for (unsigned shift = 0; shift < 64 && at < bytes.size(); shift += 7) {
    const auto byte = static_cast<std::uint8_t>(bytes[at++]);
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return shift < 63 || byte <= 1;
  }
  return false;
}

// ts differences go both ways; zigzag keeps small ones short either way.
std::uint64_t zigzag(std::uint64_t difference) {
  return (difference << 1) ^ (0 - (difference >> 63));
}
std::uint64_t unzigzag(std::uint64_t value) { return (value >> 1) ^ (0 - (value & 1)); }

char* put_doubles(char* out, std::span<const double> values) {
  std::memcpy(out, values.data(), values.size_bytes());
  return out + values.size_bytes();
}

// Fibonacci hashing: the shard's own symbols share hash % shards, so the
// slot comes from the high bits.
std::size_t slot_of(std::uint64_t hash, std::size_t slots) {
  return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ULL) >> 32) & (slots - 1);
}

}  // namespace

void PacketWriter::clear() {
  table_.clear();
  symbol_at_.clear();
  symbol_size_.clear();
  std::fill(slots_.begin(), slots_.end(), Slot{});
  events_used_ = 0;
  last_line_ = 0;
  last_ts_ = 0;
}

void PacketWriter::reserve(std::size_t events) {
  const std::size_t wanted = events_used_ + events * event_bytes;
  if (wanted > events_capacity_) grow_events(wanted);
}

void PacketWriter::grow_events(std::size_t capacity) {
  // `new char[]` leaves the bytes as they are: untouched pages stay unmapped.
  std::unique_ptr<char[]> grown(new char[capacity]);
  if (events_used_ != 0) std::memcpy(grown.get(), events_.get(), events_used_);
  events_ = std::move(grown);
  events_capacity_ = capacity;
}

void PacketWriter::grow_slots() {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 256 : slots_.size() * 2));
  for (const Slot& slot : old) {
    if (slot.number == 0) continue;
    std::size_t at = slot_of(slot.hash, slots_.size());
    while (slots_[at].number != 0) at = (at + 1) & (slots_.size() - 1);
    slots_[at] = slot;
  }
}

std::uint32_t PacketWriter::number_of(std::string_view symbol, std::uint64_t hash) {
  if (2 * (symbol_at_.size() + 1) > slots_.size()) grow_slots();
  std::size_t at = slot_of(hash, slots_.size());
  for (;; at = (at + 1) & (slots_.size() - 1)) {
    const Slot& slot = slots_[at];
    if (slot.number == 0) break;
    const std::uint32_t number = slot.number - 1;
    if (slot.hash == hash &&
        std::string_view(table_).substr(symbol_at_[number], symbol_size_[number]) == symbol) {
      return number;
    }
  }
  const auto number = static_cast<std::uint32_t>(symbol_at_.size());
  slots_[at] = Slot{hash, number + 1};
  std::array<char, varint_bytes> size{};
  table_.append(size.data(), put_varint(size.data(), symbol.size()));
  symbol_at_.push_back(static_cast<std::uint32_t>(table_.size()));
  symbol_size_.push_back(static_cast<std::uint32_t>(symbol.size()));
  table_.append(symbol);
  return number;
}

void PacketWriter::add(std::uint64_t line, std::string_view symbol, std::uint64_t hash,
                       const Event& event) {
  const std::uint32_t number = number_of(symbol, hash);
  if (events_capacity_ - events_used_ < event_bytes) {
    grow_events(std::max<std::size_t>(2 * events_capacity_, 64 * event_bytes));
  }
  char* out = events_.get() + events_used_;
  out = put_varint(out, line - last_line_);
  last_line_ = line;
  char* tag = out++;
  out = put_varint(out, number);
  std::visit(
      [&](const auto& e) {
        using Kind = std::decay_t<decltype(e)>;
        const auto ts = static_cast<std::uint64_t>(e.ts);
        out = put_varint(out, zigzag(ts - last_ts_));
        last_ts_ = ts;
        if constexpr (std::is_same_v<Kind, Derivatives>) {
          *tag = 0;
          out = put_doubles(out, std::array{e.open_interest, e.funding_rate, e.mark_price});
        } else if constexpr (std::is_same_v<Kind, Orderbook>) {
          *tag = 1;
          out = put_doubles(out, std::array{e.bid_volume, e.ask_volume, e.best_bid, e.best_ask});
        } else {
          *tag = static_cast<char>(2 | (e.side == Side::Sell ? sell_tag : 0));
          out = put_doubles(out, std::array{e.qty, e.price});
        }
      },
      event);
  events_used_ = static_cast<std::size_t>(out - events_.get());
}

std::size_t PacketWriter::size() const noexcept {
  return varint_size(symbol_at_.size()) + table_.size() + events_used_;
}

void PacketWriter::write(std::span<char> out) const {
  char* at = put_varint(out.data(), symbol_at_.size());
  std::memcpy(at, table_.data(), table_.size());
  if (events_used_ != 0) std::memcpy(at + table_.size(), events_.get(), events_used_);
}

std::string PacketWriter::packet() const {
  std::string bytes(size(), '\0');
  write(bytes);
  return bytes;
}

bool PacketReader::read_symbols(std::vector<std::string_view>& symbols) {
  symbols.clear();
  if (!get_varint(packet_, at_, symbols_)) return false;
  // Each symbol takes a byte at least: a count beyond the bytes is no table.
  if (symbols_ > packet_.size() - at_) return false;
  symbols.reserve(symbols_);
  for (std::uint64_t k = 0; k < symbols_; ++k) {
    std::uint64_t size = 0;
    if (!get_varint(packet_, at_, size) || size > packet_.size() - at_) return false;
    symbols.push_back(packet_.substr(at_, size));
    at_ += size;
  }
  return true;
}

PacketReader::Next PacketReader::next(PackedEvent& out) {
  if (at_ == packet_.size()) return Next::end;
  std::uint64_t line_step = 0;
  std::uint64_t symbol = 0;
  std::uint64_t ts_step = 0;
  if (!get_varint(packet_, at_, line_step) || at_ == packet_.size()) return Next::fault;
  const auto tag = static_cast<std::uint8_t>(packet_[at_++]);
  if (!get_varint(packet_, at_, symbol) || symbol >= symbols_ ||
      !get_varint(packet_, at_, ts_step)) {
    return Next::fault;
  }
  const std::size_t kind = tag & 3;
  // Only a liquidation has a side.
  if (kind == 3 || tag > (2 | sell_tag) || (kind != 2 && (tag & sell_tag) != 0)) {
    return Next::fault;
  }
  const std::size_t count = kind == 0 ? 3 : kind == 1 ? 4 : 2;
  if (packet_.size() - at_ < count * sizeof(double)) return Next::fault;
  std::array<double, 4> v{};
  std::memcpy(v.data(), packet_.data() + at_, count * sizeof(double));
  at_ += count * sizeof(double);
  last_line_ += line_step;
  last_ts_ += unzigzag(ts_step);
  const auto ts = static_cast<std::int64_t>(last_ts_);
  out.line = last_line_;
  out.symbol = static_cast<std::uint32_t>(symbol);
  if (kind == 0) {
    out.event = Derivatives{ts, v[0], v[1], v[2]};
  } else if (kind == 1) {
    out.event = Orderbook{ts, v[0], v[1], v[2], v[3]};
  } else {
    out.event = Liquidation{ts, (tag & sell_tag) != 0 ? Side::Sell : Side::Buy, v[0], v[1]};
  }
  return Next::event;
}

}  // namespace fenmor::replay
