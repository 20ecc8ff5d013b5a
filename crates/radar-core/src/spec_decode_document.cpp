// The document route: a spec from a node of a parsed command. Objects list
// their members in byte order of names, so faults are found in that order.

#include <cstddef>
#include <string>

#include "crates/radar-core/src/spec_decode.hpp"
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

Result<Signal> decode_signal(const Node& node) {
  Signal signal;
  if (node.kind() == NodeKind::Object) {
    const Node* kind = nullptr;
    for (const json::Member& member : node.members()) {
      if (member.name == "kind") {
        kind = &member.value;
        DECODE_INTO(signal.kind, decode_kind(member.value));
      } else if (member.name == "params") {
        DECODE_INTO(signal.params, decode_params(member.value));
      } else if (member.name == "weight") {
        DECODE_INTO(signal.weight, decode_f64(member.value));
      }
    }
    if (kind == nullptr) return fail(json::missing_field("kind"));
    return signal;
  }
  if (node.kind() == NodeKind::Array) {
    const auto elements = node.elements();
    if (elements.empty()) return fail(json::invalid_length(0, "struct Signal with 3 elements"));
    DECODE_INTO(signal.kind, decode_kind(elements[0]));
    if (elements.size() > 1) DECODE_INTO(signal.params, decode_params(elements[1]));
    if (elements.size() > 2) DECODE_INTO(signal.weight, decode_f64(elements[2]));
    if (elements.size() > 3) {
      return fail(json::invalid_length(elements.size(), "fewer elements in array"));
    }
    return signal;
  }
  return wrong_type(node, "struct Signal");
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

}  // namespace

std::expected<RadarSpec, RadarError> decode_spec_document(const Node& node) {
  RadarSpec spec;
  if (node.kind() == NodeKind::Object) {
    bool has_signals = false;
    for (const json::Member& member : node.members()) {
      if (member.name == "limit") {
        DECODE_INTO(spec.limit, decode_limit(member.value));
      } else if (member.name == "signals") {
        has_signals = true;
        DECODE_INTO(spec.signals, decode_signals(member.value));
      } else if (member.name == "symbols") {
        DECODE_INTO(spec.symbols, decode_strings(member.value));
      } else if (member.name == "threshold") {
        DECODE_INTO(spec.threshold, decode_f64(member.value));
      } else if (member.name == "venues") {
        DECODE_INTO(spec.venues, decode_strings(member.value));
      }
    }
    if (!has_signals) return fail(json::missing_field("signals"));
    return spec;
  }
  if (node.kind() == NodeKind::Array) {
    const auto elements = node.elements();
    // venues and symbols may be left off only together with everything after them.
    if (elements.size() > 0) DECODE_INTO(spec.venues, decode_strings(elements[0]));
    if (elements.size() > 1) DECODE_INTO(spec.symbols, decode_strings(elements[1]));
    if (elements.size() < 3) {
      return fail(json::invalid_length(2, "struct RadarSpec with 5 elements"));
    }
    DECODE_INTO(spec.signals, decode_signals(elements[2]));
    if (elements.size() > 3) DECODE_INTO(spec.threshold, decode_f64(elements[3]));
    if (elements.size() > 4) DECODE_INTO(spec.limit, decode_limit(elements[4]));
    if (elements.size() > 5) {
      return fail(json::invalid_length(elements.size(), "fewer elements in array"));
    }
    return spec;
  }
  return wrong_type(node, "struct RadarSpec");
}

}  // namespace fenmor
