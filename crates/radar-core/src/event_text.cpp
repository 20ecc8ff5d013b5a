#include "crates/radar-core/src/event_text.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

#include "crates/radar-core/src/event_schema.hpp"

namespace fenmor {
namespace {

using json::Cursor;
using json::Number;
using json::NumberKind;

namespace schema = event_schema;
using schema::Field;
using schema::FieldType;
using schema::name_count;
using schema::VariantId;

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

// The only name `name` can be, from its length and at most one byte, or
// name_count. Written out by hand because it is the inner loop of the fast
// route; the static_assert below holds it to the schema's names.
constexpr std::size_t candidate_named(std::string_view name) noexcept {
  switch (name.size()) {
    case 2: return schema::Ts;
    case 3: return schema::Qty;
    case 4: return name[0] == 'k' ? schema::Kind : schema::SideName;
    case 5: return schema::Price;
    case 8: return name[5] == 'b' ? schema::BestBid : schema::BestAsk;
    case 10: return name[0] == 'm' ? schema::MarkPrice : name[0] == 'b' ? schema::BidVolume : schema::AskVolume;
    case 12: return schema::FundingRate;
    case 13: return schema::OpenInterest;
    default: return name_count;
  }
}

constexpr bool finds_every_name() noexcept {
  for (std::size_t i = 0; i < name_count; ++i) {
    if (candidate_named(schema::names[i]) != i) return false;
  }
  return true;
}
static_assert(finds_every_name(), "the fast route must find every name of the event schema");

// name_count for a name that is none of the schema's; one compare confirms.
std::size_t slot_named(std::string_view name) noexcept {
  const std::size_t slot = candidate_named(name);
  if (slot == name_count || !same_bytes(schema::names[slot], name)) return name_count;
  return slot;
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

// The variant named by a tag value, or nullptr. Unrolled over the schema's
// tags, so that each compare knows its tag's length.
template <std::size_t... I>
const schema::Variant* variant_named(std::string_view tag, std::index_sequence<I...>) noexcept {
  const schema::Variant* found = nullptr;
  static_cast<void>(
      ((same_bytes(tag, schema::variants[I].tag) ? (found = &schema::variants[I], true) : false) ||
       ...));
  return found;
}

const schema::Variant* variant_of(const Value& tag) noexcept {
  if (tag.type != ValueType::String) return nullptr;
  return variant_named(tag.text(), std::make_index_sequence<schema::variants.size()>());
}

using Slots = std::array<Value, name_count>;

// One field's value into `values` by the field's rule; each field of each
// variant gets its own instance, so nothing is looked up at run time.
template <Field F>
bool read_field(const Slots& slots, schema::FieldValues& values) noexcept {
  const Value& value = slots[F.name];
  if constexpr (F.type == FieldType::Ts) {
    return ts_of(value, values.ts);
  } else if constexpr (F.type == FieldType::Float) {
    return float_of(value, values.floats[F.number]);
  } else {
    return side_of(value, values.side);
  }
}

template <VariantId V, std::size_t... I>
bool read_fields(const Slots& slots, schema::FieldValues& values,
                 std::index_sequence<I...>) noexcept {
  return (read_field<schema::variant(V).fields[I]>(slots, values) && ...);
}

// The event of variant V from the values in `slots`, all present.
template <VariantId V>
bool build(const Slots& slots, Event& out) noexcept {
  schema::FieldValues values;
  constexpr std::size_t count = schema::variant(V).fields.size();
  if (!read_fields<V>(slots, values, std::make_index_sequence<count>())) return false;
  out = schema::build(V, values);
  return true;
}

// Whether every field of variant V was among the members read.
template <VariantId V>
bool all_present(unsigned present) noexcept {
  constexpr unsigned wanted = [] {
    unsigned mask = 0;
    for (const Field& field : schema::variant(V).fields) mask |= 1u << field.name;
    return mask;
  }();
  return (present & wanted) == wanted;
}

// Calls `body` with the variant as a compile-time constant.
template <class Body>
bool with_variant(VariantId id, Body body) {
  switch (id) {
    case VariantId::Derivatives:
      return body(std::integral_constant<VariantId, VariantId::Derivatives>{});
    case VariantId::Orderbook:
      return body(std::integral_constant<VariantId, VariantId::Orderbook>{});
    case VariantId::Liquidation:
      break;
  }
  return body(std::integral_constant<VariantId, VariantId::Liquidation>{});
}

bool read_object_form(Cursor& in, Event& out) {
  in.advance();  // '{'
  Slots slots;
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
    if (!read_scalar(in, slot < name_count ? slots[slot] : ignored)) return false;
    if (slot < name_count) present |= 1u << slot;
    const int next = in.peek_token();
    in.advance();
    if (next == '}') break;
    if (next != ',') return false;
  }
  if ((present & (1u << schema::Kind)) == 0) return false;
  const schema::Variant* variant = variant_of(slots[schema::Kind]);
  if (variant == nullptr) return false;
  return with_variant(variant->id, [&](auto id) {
    return all_present<id()>(present) && build<id()>(slots, out);
  });
}

bool read_array_form(Cursor& in, Event& out) {
  in.advance();  // '['
  Slots slots;
  if (!read_scalar(in, slots[schema::Kind])) return false;
  const schema::Variant* variant = variant_of(slots[schema::Kind]);
  if (variant == nullptr) return false;
  for (const Field& field : variant->fields) {
    if (in.peek_token() != ',') return false;
    in.advance();
    if (!read_scalar(in, slots[field.name])) return false;
  }
  if (in.peek_token() != ']') return false;
  in.advance();
  return with_variant(variant->id, [&](auto id) { return build<id()>(slots, out); });
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
