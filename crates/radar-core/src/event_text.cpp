#include "crates/radar-core/src/event_text.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

namespace fenmor {
namespace {

using json::Cursor;
using json::Number;
using json::NumberKind;

// Every member name an event may use, in one table: the tag and the fields of
// all three variants. A member is stored under its name's slot as soon as it
// is read; a later one overwrites it, as the document keeps the last.
enum Slot : std::uint8_t {
  Kind, Ts, OpenInterest, FundingRate, MarkPrice, BidVolume, AskVolume, BestBid, BestAsk,
  SideSlot, Qty, Price, slot_count,
};

constexpr std::array<std::string_view, slot_count> slot_names = {
    "kind",     "ts",       "open_interest", "funding_rate", "mark_price", "bid_volume",
    "ask_volume", "best_bid", "best_ask",      "side",         "qty",        "price"};

// Names are short: compared as two overlapping words of the widest size
// that fits, rather than byte by byte.
template <class Word>
bool same_ends(const char* a, const char* b, std::size_t size) noexcept {
  Word a_head, b_head, a_tail, b_tail;
  std::memcpy(&a_head, a, sizeof(Word));
  std::memcpy(&b_head, b, sizeof(Word));
  std::memcpy(&a_tail, a + size - sizeof(Word), sizeof(Word));
  std::memcpy(&b_tail, b + size - sizeof(Word), sizeof(Word));
  return a_head == b_head && a_tail == b_tail;
}

bool same_bytes(std::string_view a, std::string_view b) noexcept {
  const std::size_t size = a.size();
  if (size != b.size()) return false;
  if (size >= 16) return a == b;
  if (size >= 8) return same_ends<std::uint64_t>(a.data(), b.data(), size);
  if (size >= 4) return same_ends<std::uint32_t>(a.data(), b.data(), size);
  if (size >= 2) return same_ends<std::uint16_t>(a.data(), b.data(), size);
  return size == 0 || a[0] == b[0];
}

// slot_count for a name that is none of them. The length alone leaves at
// most three candidates, told apart by one byte; one compare confirms.
std::size_t slot_named(std::string_view name) noexcept {
  Slot slot = slot_count;
  switch (name.size()) {
    case 2: slot = Ts; break;
    case 3: slot = Qty; break;
    case 4: slot = name[0] == 'k' ? Kind : SideSlot; break;
    case 5: slot = Price; break;
    case 8: slot = name[5] == 'b' ? BestBid : BestAsk; break;
    case 10: slot = name[0] == 'm' ? MarkPrice : name[0] == 'b' ? BidVolume : AskVolume; break;
    case 12: slot = FundingRate; break;
    case 13: slot = OpenInterest; break;
    default: return slot_count;
  }
  return same_bytes(slot_names[slot], name) ? slot : slot_count;
}

enum class ValueType : std::uint8_t { Number, String, Literal };

// One member's value as read. Trivial on purpose: an event's twelve slots
// are set only where members are read, never cleared first.
struct Value {
  ValueType type;
  NumberKind number_kind;
  union {
    std::uint64_t u64;
    std::int64_t i64;
    double f64;
  };
  const char* text_data;  // a view into the command text (String only)
  std::size_t text_size;

  Number number() const noexcept {
    switch (number_kind) {
      case NumberKind::U64: return Number::from_u64(u64);
      case NumberKind::I64: return Number::from_i64(i64);
      case NumberKind::F64: break;
    }
    return Number::from_f64(f64);
  }
  std::string_view text() const noexcept { return {text_data, text_size}; }
};
static_assert(std::is_trivially_default_constructible_v<Value>);

// Inline into the member loop: it runs for every member of every event.
// A string value with escapes is left to the document route, even where it
// would be skipped: resolving the escapes of a huge one costs memory that the
// document route is going to spend anyway.
[[gnu::always_inline]] inline bool read_scalar(Cursor& in, Value& out) {
  const int c = in.peek_token();
  if (c == '"') {
    auto text = in.read_plain_string();
    if (!text) return false;
    out.type = ValueType::String;
    out.text_data = text->data();
    out.text_size = text->size();
    return true;
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    auto number = in.read_number();
    if (!number) return false;
    out.type = ValueType::Number;
    out.number_kind = number->kind;
    switch (number->kind) {
      case NumberKind::U64: out.u64 = number->u64; break;
      case NumberKind::I64: out.i64 = number->i64; break;
      case NumberKind::F64: out.f64 = number->f64; break;
    }
    return true;
  }
  if (c == 'n' || c == 't' || c == 'f') {
    if (!in.read_literal()) return false;
    out.type = ValueType::Literal;
    return true;
  }
  return false;  // a nested value, or no value at all
}

// The field rules of decode_event, for the values they accept.
bool ts_of(const Value& value, std::int64_t& out) noexcept {
  if (value.type != ValueType::Number) return false;
  if (value.number_kind == NumberKind::I64) {
    out = value.i64;
    return true;
  }
  if (value.number_kind == NumberKind::U64 &&
      value.u64 <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    out = static_cast<std::int64_t>(value.u64);
    return true;
  }
  return false;  // a float, even a whole one, or beyond the signed range
}

bool float_of(const Value& value, double& out) noexcept {
  if (value.type != ValueType::Number) return false;
  out = value.number().as_double();
  return true;
}

bool side_of(const Value& value, Side& out) noexcept {
  if (value.type != ValueType::String) return false;
  if (same_bytes(value.text(), "buy")) {
    out = Side::Buy;
    return true;
  }
  if (same_bytes(value.text(), "sell")) {
    out = Side::Sell;
    return true;
  }
  return false;
}

enum class Variant : std::uint8_t { Derivatives, Orderbook, Liquidation, None };

Variant variant_of(const Value& tag) noexcept {
  if (tag.type != ValueType::String) return Variant::None;
  if (same_bytes(tag.text(), "derivatives")) return Variant::Derivatives;
  if (same_bytes(tag.text(), "orderbook")) return Variant::Orderbook;
  if (same_bytes(tag.text(), "liquidation")) return Variant::Liquidation;
  return Variant::None;
}

// The fields of each variant by slot, in declaration order (the array form's).
constexpr std::array<Slot, 4> derivatives_slots = {Ts, OpenInterest, FundingRate, MarkPrice};
constexpr std::array<Slot, 5> orderbook_slots = {Ts, BidVolume, AskVolume, BestBid, BestAsk};
constexpr std::array<Slot, 4> liquidation_slots = {Ts, SideSlot, Qty, Price};

// The event of `variant` from the values in `slots`, all present.
bool build(Variant variant, const std::array<Value, slot_count>& slots, Event& out) noexcept {
  std::int64_t ts = 0;
  if (!ts_of(slots[Ts], ts)) return false;
  switch (variant) {
    case Variant::Derivatives: {
      Derivatives event{ts, 0, 0, 0};
      if (!float_of(slots[OpenInterest], event.open_interest) ||
          !float_of(slots[FundingRate], event.funding_rate) ||
          !float_of(slots[MarkPrice], event.mark_price)) {
        return false;
      }
      out = event;
      return true;
    }
    case Variant::Orderbook: {
      Orderbook event{ts, 0, 0, 0, 0};
      if (!float_of(slots[BidVolume], event.bid_volume) ||
          !float_of(slots[AskVolume], event.ask_volume) ||
          !float_of(slots[BestBid], event.best_bid) ||
          !float_of(slots[BestAsk], event.best_ask)) {
        return false;
      }
      out = event;
      return true;
    }
    case Variant::Liquidation: {
      Liquidation event{ts, Side::Buy, 0, 0};
      if (!side_of(slots[SideSlot], event.side) || !float_of(slots[Qty], event.qty) ||
          !float_of(slots[Price], event.price)) {
        return false;
      }
      out = event;
      return true;
    }
    case Variant::None:
      break;
  }
  return false;
}

template <std::size_t N>
bool all_present(const std::array<Slot, N>& fields, unsigned present) noexcept {
  for (const Slot slot : fields) {
    if ((present & (1u << slot)) == 0) return false;
  }
  return true;
}

bool read_object_form(Cursor& in, Event& out) {
  in.advance();  // '{'
  std::array<Value, slot_count> slots;
  unsigned present = 0;
  if (in.peek_token() == '}') return false;  // no kind
  for (;;) {
    if (in.peek_token() != '"') return false;
    auto name = in.read_plain_string();
    if (!name) return false;
    const std::size_t slot = slot_named(*name);
    if (in.peek_token() != ':') return false;
    in.advance();
    Value ignored;
    if (!read_scalar(in, slot < slot_count ? slots[slot] : ignored)) return false;
    if (slot < slot_count) present |= 1u << slot;
    const int next = in.peek_token();
    in.advance();
    if (next == '}') break;
    if (next != ',') return false;
  }
  if ((present & (1u << Kind)) == 0) return false;
  const Variant variant = variant_of(slots[Kind]);
  switch (variant) {
    case Variant::Derivatives:
      if (!all_present(derivatives_slots, present)) return false;
      break;
    case Variant::Orderbook:
      if (!all_present(orderbook_slots, present)) return false;
      break;
    case Variant::Liquidation:
      if (!all_present(liquidation_slots, present)) return false;
      break;
    case Variant::None:
      return false;
  }
  return build(variant, slots, out);
}

template <std::size_t N>
bool read_positional(Cursor& in, const std::array<Slot, N>& fields,
                     std::array<Value, slot_count>& slots) {
  for (const Slot slot : fields) {
    if (in.peek_token() != ',') return false;
    in.advance();
    if (!read_scalar(in, slots[slot])) return false;
  }
  return true;
}

bool read_array_form(Cursor& in, Event& out) {
  in.advance();  // '['
  std::array<Value, slot_count> slots;
  if (!read_scalar(in, slots[Kind])) return false;
  const Variant variant = variant_of(slots[Kind]);
  bool read = false;
  switch (variant) {
    case Variant::Derivatives:
      read = read_positional(in, derivatives_slots, slots);
      break;
    case Variant::Orderbook:
      read = read_positional(in, orderbook_slots, slots);
      break;
    case Variant::Liquidation:
      read = read_positional(in, liquidation_slots, slots);
      break;
    case Variant::None:
      return false;
  }
  if (!read || in.peek_token() != ']') return false;
  in.advance();
  return build(variant, slots, out);
}

}  // namespace

bool read_event_text(Cursor& in, Event& out) {
  switch (in.peek_token()) {
    case '{':
      return read_object_form(in, out);
    case '[':
      return read_array_form(in, out);
    default:
      return false;
  }
}

bool read_event_list_text(Cursor& in, EventList& out) {
  if (in.peek_token() != '[') return false;
  in.advance();
  if (in.peek_token() == ']') {
    in.advance();
    return true;
  }
  for (;;) {
    Event event;
    if (!read_event_text(in, event)) return false;
    out.push_back(event);
    const int next = in.peek_token();
    in.advance();
    if (next == ']') return true;
    if (next != ',') return false;
  }
}

bool skip_scalar_text(Cursor& in) {
  Value ignored;
  return read_scalar(in, ignored);
}

}  // namespace fenmor
