#pragma once
// Reading a spec from JSON: straight from the constructor's text (errors carry
// a position), or from a node of an already parsed command (errors do not).

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/radar_error.hpp"
#include "crates/radar-core/src/spec.hpp"
#include "json/document.hpp"

namespace fenmor {

// Where the parts of a spec text lie, as byte offsets into it, for messages
// that point at them. The text route records them when asked to.
struct SpecPlaces {
  // A member no field has, skipped: its name and where the name starts.
  struct Ignored {
    std::size_t offset;
    std::optional<std::size_t> signal;  // the signal it is in; none: the spec's own
    std::string name;
  };
  struct Signal {
    std::size_t start;
    std::optional<std::size_t> params;  // where each value starts
    std::optional<std::size_t> weight;
  };
  bool array_form = false;  // the spec is written as an array
  std::size_t start = 0;
  std::optional<std::size_t> signals;
  std::optional<std::size_t> threshold;
  std::vector<Signal> signal_places;  // in spec order
  std::vector<Ignored> ignored;       // in text order
};

// `places`, when given, is filled as far as the text was read.
std::expected<RadarSpec, RadarError> decode_spec_text(std::string_view text,
                                                      SpecPlaces* places = nullptr);
std::expected<RadarSpec, RadarError> decode_spec_document(const json::Node& node);

}  // namespace fenmor
