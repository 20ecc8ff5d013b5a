// The document route: a spec from a node of a parsed command. Objects list
// their members in byte order of names, so faults are found in that order.

#include <cstddef>
#include <string>

#include "crates/radar-core/src/spec_decode.hpp"
#include "crates/radar-core/src/spec_schema.hpp"
#include "json/messages.hpp"

namespace fenmor {

namespace {

using json::Node;
using json::NodeKind;
using json::Unexpected;

template <class T>
using Result = std::expected<T, RadarError>;

std::unexpected<RadarError> fail(std::string message) {
  return std::unexpected(RadarError::parse(std::move(message)));
}

std::unexpected<RadarError> wrong_type(const Node& node, std::string_view expected) {
  return fail(json::invalid_type(Unexpected::of(node), expected));
}

Result<double> decode_f64(const Node& node) {
  if (!node.is_number()) return wrong_type(node, "f64");
  return node.number().as_double();
}

Result<std::vector<std::string>> decode_strings(const Node& node) {
  if (node.kind() != NodeKind::Array) return wrong_type(node, "a sequence");
  std::vector<std::string> out;
  out.reserve(node.elements().size());
  for (const Node& element : node.elements()) {
    if (element.kind() != NodeKind::String) return wrong_type(element, "a string");
    out.emplace_back(element.string());
  }
  return out;
}

Result<std::vector<double>> decode_params(const Node& node) {
  if (node.kind() != NodeKind::Array) return wrong_type(node, "a sequence");
  std::vector<double> out;
  out.reserve(node.elements().size());
  for (const Node& element : node.elements()) {
    auto value = decode_f64(element);
    if (!value) return std::unexpected(value.error());
    out.push_back(*value);
  }
  return out;
}

Result<IndicatorKind> kind_named(std::string_view name) {
  if (auto kind = indicator_kind_named(name)) return *kind;
  return fail(json::unknown_variant(name, indicator_names));
}

// A name, or an object whose single member is a name with a null value.
Result<IndicatorKind> decode_kind(const Node& node) {
  if (node.kind() == NodeKind::String) return kind_named(node.string());
  if (node.kind() != NodeKind::Object) return wrong_type(node, "string or map");
  if (node.members().size() != 1) {
    return fail(json::invalid_value(Unexpected::map(), "map with a single key"));
  }
  const json::Member& only = node.members().front();
  auto kind = kind_named(only.name);
  if (!kind) return kind;
  if (!only.value.is_null()) return wrong_type(only.value, "unit");
  return kind;
}

Result<std::optional<std::uint64_t>> decode_limit(const Node& node) {
  switch (node.kind()) {
    case NodeKind::Null: return std::optional<std::uint64_t>();
    case NodeKind::U64: return std::optional<std::uint64_t>(node.u64());
    case NodeKind::I64: return fail(json::invalid_value(Unexpected::of(node), "usize"));
    default: return wrong_type(node, "usize");
  }
}

// Decodes into `field` and turns a failure into the caller's result.
#define DECODE_INTO(field, expression)        \
  do {                                        \
    auto decoded_ = (expression);             \
    if (!decoded_) return std::unexpected(std::move(decoded_.error())); \
    field = std::move(*decoded_);             \
  } while (false)

// Each field by its index in the schema, for both forms.
Result<void> decode_signal_field(Signal& signal, std::size_t field, const Node& node) {
  switch (field) {
    case spec_schema::Kind: DECODE_INTO(signal.kind, decode_kind(node)); break;
    case spec_schema::Params: DECODE_INTO(signal.params, decode_params(node)); break;
    default: DECODE_INTO(signal.weight, decode_f64(node)); break;
  }
  return {};
}

Result<void> decode_spec_field(RadarSpec& spec, std::size_t field, const Node& node);

// A record in object or array form, each field through `field(index, node)`.
template <class Value, class DecodeField>
Result<Value> decode_record(const spec_schema::Record& record, const Node& node,
                            DecodeField field) {
  Value value;
  if (node.kind() == NodeKind::Object) {
    bool has_required = false;
    for (const json::Member& member : node.members()) {
      const std::size_t index = spec_schema::field_named(record, member.name);
      if (index == record.fields.size()) continue;
      if (auto decoded = field(value, index, member.value); !decoded) {
        return std::unexpected(std::move(decoded).error());
      }
      has_required = has_required || index == record.required_member;
    }
    if (!has_required) return fail(json::missing_field(record.fields[record.required_member]));
    return value;
  }
  if (node.kind() == NodeKind::Array) {
    const auto elements = node.elements();
    for (std::size_t i = 0; i < record.fields.size() && i <= elements.size(); ++i) {
      if (i == elements.size()) {
        if (i < record.array_required) {
          return fail(json::invalid_length(record.too_few_length, record.too_few));
        }
        break;
      }
      if (auto decoded = field(value, i, elements[i]); !decoded) {
        return std::unexpected(std::move(decoded).error());
      }
    }
    if (elements.size() > record.fields.size()) {
      return fail(json::invalid_length(elements.size(), spec_schema::too_many));
    }
    return value;
  }
  return wrong_type(node, record.expected);
}

Result<Signal> decode_signal(const Node& node) {
  return decode_record<Signal>(spec_schema::signal, node, decode_signal_field);
}

Result<std::vector<Signal>> decode_signals(const Node& node) {
  if (node.kind() != NodeKind::Array) return wrong_type(node, "a sequence");
  std::vector<Signal> out;
  out.reserve(node.elements().size());
  for (const Node& element : node.elements()) {
    auto signal = decode_signal(element);
    if (!signal) return std::unexpected(std::move(signal.error()));
    out.push_back(std::move(*signal));
  }
  return out;
}

Result<void> decode_spec_field(RadarSpec& spec, std::size_t field, const Node& node) {
  switch (field) {
    case spec_schema::Venues: DECODE_INTO(spec.venues, decode_strings(node)); break;
    case spec_schema::Symbols: DECODE_INTO(spec.symbols, decode_strings(node)); break;
    case spec_schema::Signals: DECODE_INTO(spec.signals, decode_signals(node)); break;
    case spec_schema::Threshold: DECODE_INTO(spec.threshold, decode_f64(node)); break;
    default: DECODE_INTO(spec.limit, decode_limit(node)); break;
  }
  return {};
}

}  // namespace

std::expected<RadarSpec, RadarError> decode_spec_document(const Node& node) {
  return decode_record<RadarSpec>(spec_schema::spec, node, decode_spec_field);
}

}  // namespace fenmor
