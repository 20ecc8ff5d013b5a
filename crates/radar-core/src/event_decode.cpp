#include "crates/radar-core/src/event_decode.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "crates/radar-core/src/event_schema.hpp"
#include "json/messages.hpp"

namespace fenmor {
namespace {

using json::Node;
using json::NodeKind;
using json::Unexpected;

using event_schema::Field;
using event_schema::FieldType;
using event_schema::FieldValues;
using event_schema::Variant;

using Failure = std::unexpected<RadarError>;

Failure fail(std::string message) { return Failure(RadarError::parse(std::move(message))); }

std::expected<const Variant*, RadarError> decode_tag(const Node& node) {
  if (node.kind() != NodeKind::String) {
    return fail(json::invalid_type(Unexpected::of(node), "variant identifier"));
  }
  const std::string_view tag = node.string();
  for (const Variant& variant : event_schema::variants) {
    if (variant.tag == tag) return &variant;
  }
  return fail(json::unknown_variant(tag, event_schema::tag_names));
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
  return fail(json::unknown_variant(name, event_schema::side_names));
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
      values.floats[field.number] = *value;
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

std::expected<Event, RadarError> decode_object_form(const Node& node) {
  const Node* tag = node.find(event_schema::tag_member);
  if (tag == nullptr) return fail(json::missing_field(event_schema::tag_member));
  auto variant = decode_tag(*tag);
  if (!variant) return Failure(std::move(variant.error()).in_member(event_schema::tag_member));
  const std::span<const Field> fields = (*variant)->fields;

  // Members come in byte order of their names, so the first failing field is
  // the one whose name sorts first; members that name no field are skipped
  // without looking at their values.
  FieldValues values;
  unsigned present = 0;
  for (const json::Member& member : node.members()) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const std::string_view name = event_schema::name_of(fields[i]);
      if (name != member.name) continue;
      auto decoded = decode_field(fields[i], member.value, values);
      if (!decoded) return Failure(std::move(decoded.error()).in_member(name));
      present |= 1u << i;
      break;
    }
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if ((present & (1u << i)) == 0) {
      return fail(json::missing_field(event_schema::name_of(fields[i])));
    }
  }
  return event_schema::build((*variant)->id, values);
}

std::expected<Event, RadarError> decode_array_form(const Node& node) {
  const auto elements = node.elements();
  if (elements.empty()) return fail(json::missing_field(event_schema::tag_member));
  auto variant = decode_tag(elements[0]);
  if (!variant) return Failure(std::move(variant.error()).in_member(event_schema::tag_member));
  const std::span<const Field> fields = (*variant)->fields;
  const auto given = elements.subspan(1);

  FieldValues values;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i == given.size()) return fail(json::invalid_length(given.size(), (*variant)->too_few));
    auto decoded = decode_field(fields[i], given[i], values);
    if (!decoded) return Failure(std::move(decoded.error()).in_member(event_schema::name_of(fields[i])));
  }
  // Surplus elements are counted, not examined.
  if (given.size() > fields.size()) {
    return fail(json::invalid_length(given.size(), (*variant)->too_many));
  }
  return event_schema::build((*variant)->id, values);
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
