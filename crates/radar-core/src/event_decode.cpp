#include "crates/radar-core/src/event_decode.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "json/messages.hpp"

namespace fenmor {
namespace {

using json::Node;
using json::NodeKind;
using json::Unexpected;

enum class FieldType : std::uint8_t { Ts, Float, Side };

// One field of a variant. Float fields are collected into numbered slots in
// declaration order; the variant's builder knows which slot is which.
struct Field {
  std::string_view name;
  FieldType type;
  std::uint8_t slot = 0;
};

enum class VariantId : std::uint8_t { Derivatives, Orderbook, Liquidation };

struct Variant {
  VariantId id;
  std::string_view tag;
  std::span<const Field> fields;  // declaration order
  std::string_view too_few;       // expected text when array elements run out
  std::string_view too_many;      // expected text when array elements remain
};

constexpr std::array derivatives_fields = {
    Field{"ts", FieldType::Ts, 0},
    Field{"open_interest", FieldType::Float, 0},
    Field{"funding_rate", FieldType::Float, 1},
    Field{"mark_price", FieldType::Float, 2},
};
constexpr std::array orderbook_fields = {
    Field{"ts", FieldType::Ts, 0},
    Field{"bid_volume", FieldType::Float, 0},
    Field{"ask_volume", FieldType::Float, 1},
    Field{"best_bid", FieldType::Float, 2},
    Field{"best_ask", FieldType::Float, 3},
};
constexpr std::array liquidation_fields = {
    Field{"ts", FieldType::Ts, 0},
    Field{"side", FieldType::Side, 0},
    Field{"qty", FieldType::Float, 0},
    Field{"price", FieldType::Float, 1},
};

constexpr std::array<Variant, 3> variants = {{
    {VariantId::Derivatives, "derivatives", derivatives_fields,
     "struct variant Event::Derivatives with 4 elements", "4 elements in sequence"},
    {VariantId::Orderbook, "orderbook", orderbook_fields,
     "struct variant Event::Orderbook with 5 elements", "5 elements in sequence"},
    {VariantId::Liquidation, "liquidation", liquidation_fields,
     "struct variant Event::Liquidation with 4 elements", "4 elements in sequence"},
}};

constexpr std::array<std::string_view, 3> tag_names = {"derivatives", "orderbook",
                                                       "liquidation"};
constexpr std::array<std::string_view, 2> side_names = {"buy", "sell"};

// Field values gathered while decoding, before the event is built.
struct FieldValues {
  std::int64_t ts = 0;
  Side side = Side::Buy;
  std::array<double, 4> floats{};
};

using Failure = std::unexpected<RadarError>;

Failure fail(std::string message) { return Failure(RadarError::parse(std::move(message))); }

std::expected<const Variant*, RadarError> decode_tag(const Node& node) {
  if (node.kind() != NodeKind::String) {
    return fail(json::invalid_type(Unexpected::of(node), "variant identifier"));
  }
  const std::string_view tag = node.string();
  for (const Variant& variant : variants) {
    if (variant.tag == tag) return &variant;
  }
  return fail(json::unknown_variant(tag, tag_names));
}

std::expected<std::int64_t, RadarError> decode_ts(const Node& node) {
  switch (node.kind()) {
    case NodeKind::I64:
      return node.i64();
    case NodeKind::U64:
      if (node.u64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return fail(json::invalid_value(Unexpected::of(node), "i64"));
      }
      return static_cast<std::int64_t>(node.u64());
    default:
      // Floats too, even whole ones such as 5.0, 1e3 or -0.
      return fail(json::invalid_type(Unexpected::of(node), "i64"));
  }
}

std::expected<double, RadarError> decode_float(const Node& node) {
  if (!node.is_number()) return fail(json::invalid_type(Unexpected::of(node), "f64"));
  return node.number().as_double();
}

std::expected<Side, RadarError> side_named(std::string_view name) {
  if (name == "buy") return Side::Buy;
  if (name == "sell") return Side::Sell;
  return fail(json::unknown_variant(name, side_names));
}

// "buy" / "sell", or the map forms {"buy": null} / {"sell": {}}.
std::expected<Side, RadarError> decode_side(const Node& node) {
  switch (node.kind()) {
    case NodeKind::String:
      return side_named(node.string());
    case NodeKind::Object: {
      const auto members = node.members();
      if (members.size() != 1) {
        return fail(json::invalid_value(Unexpected::map(), "map with a single key"));
      }
      auto side = side_named(members[0].name);
      if (!side) return side;
      const Node& value = members[0].value;
      const bool unit = value.is_null() ||
                        (value.kind() == NodeKind::Object && value.members().empty());
      if (!unit) return fail(json::invalid_type(Unexpected::of(value), "unit"));
      return side;
    }
    default:
      return fail(json::invalid_type(Unexpected::of(node), "string or map"));
  }
}

std::expected<void, RadarError> decode_field(const Field& field, const Node& node,
                                             FieldValues& values) {
  switch (field.type) {
    case FieldType::Ts: {
      auto ts = decode_ts(node);
      if (!ts) return Failure(std::move(ts.error()));
      values.ts = *ts;
      return {};
    }
    case FieldType::Float: {
      auto value = decode_float(node);
      if (!value) return Failure(std::move(value.error()));
      values.floats[field.slot] = *value;
      return {};
    }
    case FieldType::Side: {
      auto side = decode_side(node);
      if (!side) return Failure(std::move(side.error()));
      values.side = *side;
      return {};
    }
  }
  return {};
}

Event build(VariantId id, const FieldValues& v) {
  switch (id) {
    case VariantId::Derivatives:
      return Derivatives{v.ts, v.floats[0], v.floats[1], v.floats[2]};
    case VariantId::Orderbook:
      return Orderbook{v.ts, v.floats[0], v.floats[1], v.floats[2], v.floats[3]};
    case VariantId::Liquidation:
      break;
  }
  return Liquidation{v.ts, v.side, v.floats[0], v.floats[1]};
}

std::expected<Event, RadarError> decode_object_form(const Node& node) {
  const Node* tag = node.find("kind");
  if (tag == nullptr) return fail(json::missing_field("kind"));
  auto variant = decode_tag(*tag);
  if (!variant) return Failure(std::move(variant.error()).in_member("kind"));
  const std::span<const Field> fields = (*variant)->fields;

  // Members come in byte order of their names, so the first failing field is
  // the one whose name sorts first; members that name no field are skipped
  // without looking at their values.
  FieldValues values;
  unsigned present = 0;
  for (const json::Member& member : node.members()) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].name != member.name) continue;
      auto decoded = decode_field(fields[i], member.value, values);
      if (!decoded) return Failure(std::move(decoded.error()).in_member(fields[i].name));
      present |= 1u << i;
      break;
    }
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if ((present & (1u << i)) == 0) return fail(json::missing_field(fields[i].name));
  }
  return build((*variant)->id, values);
}

std::expected<Event, RadarError> decode_array_form(const Node& node) {
  const auto elements = node.elements();
  if (elements.empty()) return fail(json::missing_field("kind"));
  auto variant = decode_tag(elements[0]);
  if (!variant) return Failure(std::move(variant.error()).in_member("kind"));
  const std::span<const Field> fields = (*variant)->fields;
  const auto given = elements.subspan(1);

  FieldValues values;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i == given.size()) return fail(json::invalid_length(given.size(), (*variant)->too_few));
    auto decoded = decode_field(fields[i], given[i], values);
    if (!decoded) return Failure(std::move(decoded.error()).in_member(fields[i].name));
  }
  // Surplus elements are counted, not examined.
  if (given.size() > fields.size()) {
    return fail(json::invalid_length(given.size(), (*variant)->too_many));
  }
  return build((*variant)->id, values);
}

}  // namespace

std::expected<Event, RadarError> decode_event(const json::Node& node) {
  switch (node.kind()) {
    case NodeKind::Object:
      return decode_object_form(node);
    case NodeKind::Array:
      return decode_array_form(node);
    default:
      return fail(json::invalid_type(Unexpected::of(node), "internally tagged enum Event"));
  }
}

std::expected<EventList, RadarError> decode_event_list(const json::Node& node) {
  if (node.kind() != NodeKind::Array) {
    return fail(json::invalid_type(Unexpected::of(node), "a sequence"));
  }
  const auto elements = node.elements();
  EventList events;
  events.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    // The first bad element fails the whole list; its message does not say
    // which element it was, its path does.
    auto event = decode_event(elements[i]);
    if (!event) return Failure(std::move(event.error()).in_element(i));
    events.push_back(*event);
  }
  return events;
}

std::expected<SymbolEvents, RadarError> decode_symbol_events(const json::Node& node) {
  if (node.kind() != NodeKind::Object) {
    return fail(json::invalid_type(Unexpected::of(node), "a map"));
  }
  // Member names are already unique and in ascending byte order, which is
  // the order SymbolEvents promises.
  const auto members = node.members();
  SymbolEvents symbols;
  symbols.reserve(members.size());
  for (const json::Member& member : members) {
    auto events = decode_event_list(member.value);
    if (!events) return Failure(std::move(events.error()).in_member(member.name));
    symbols.emplace_back(std::string(member.name), std::move(*events));
  }
  return symbols;
}

}  // namespace fenmor
