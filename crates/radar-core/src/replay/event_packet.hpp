#pragma once
// Decoded events in a compact binary form, for a shard that did not read
// their lines: the worker that read a unit packs each shard's events into one
// packet, the shard reads them back exactly as decoded (every double bit for
// bit). Packets cross the network, so they are kept small: each symbol's
// bytes are written once per packet, lines and ts as differences.
//
// A packet: the number of its symbols (varint), each symbol as its size
// (varint) and bytes, in order of first use; then its events, each as the
// difference of its line from the event before (varint, the first from 0),
// a tag byte (kind: 0 derivatives, 1 order book, 2 liquidation; plus 4 for a
// liquidation's sell side), its symbol's number in the packet (varint), the
// difference of its ts from the event before (zigzag varint, taken modulo
// 2^64 so that any two ts have one, the first from 0), then its doubles as
// they are: three, four or two by kind. Varints are LEB128. Doubles are in
// native byte order: the workers of one replay run one build of this package
// (the driver checks their versions).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/event.hpp"

namespace fenmor::replay {

class PacketWriter {
 public:
  // An empty packet; the memory of the previous one is kept for reuse.
  void clear();
  // Room for `events` more events without moving what is written. Memory
  // is only reserved, not touched: the pages a packet never reaches cost
  // nothing, while growing by doubling would fault in and copy twice its size.
  void reserve(std::size_t events);
  // `hash` is symbol_hash(symbol): symbols are numbered by it (and compared).
  void add(std::uint64_t line, std::string_view symbol, std::uint64_t hash, const Event& event);
  // The packet's size in bytes, and the packet written to `out` of that size.
  std::size_t size() const noexcept;
  void write(std::span<char> out) const;
  std::string packet() const;

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t number = 0;  // the symbol's number + 1; 0 for a free slot
  };
  std::uint32_t number_of(std::string_view symbol, std::uint64_t hash);
  void grow_slots();
  void grow_events(std::size_t capacity);

  std::string table_;   // each symbol: its size (varint) and bytes
  std::vector<std::uint32_t> symbol_at_;  // per symbol, where its bytes begin in table_
  std::vector<std::uint32_t> symbol_size_;
  std::vector<Slot> slots_;  // open addressing, a power of two, at most half full
  // Not a std::string: growing one fills its new bytes with zeros first.
  std::unique_ptr<char[]> events_;
  std::size_t events_capacity_ = 0;
  std::size_t events_used_ = 0;  // events_ is grown ahead, written up to here
  std::uint64_t last_line_ = 0;
  std::uint64_t last_ts_ = 0;
};

struct PackedEvent {
  std::uint64_t line;
  std::uint32_t symbol;  // its number in the packet's symbols
  Event event;
};

// Reads a packet of PacketWriter: first its symbols, then its events in turn.
class PacketReader {
 public:
  explicit PacketReader(std::string_view packet) : packet_(packet) {}
  // The packet's symbols, in their numbers' order (views into the packet);
  // false when the bytes do not begin with a whole table.
  bool read_symbols(std::vector<std::string_view>& symbols);
  enum class Next { event, end, fault };
  // The next event (after read_symbols); `fault` when the bytes there are
  // not a whole event of this packet.
  Next next(PackedEvent& out);

 private:
  std::string_view packet_;
  std::size_t at_ = 0;
  std::uint64_t symbols_ = 0;
  std::uint64_t last_line_ = 0;
  std::uint64_t last_ts_ = 0;
};

}  // namespace fenmor::replay
