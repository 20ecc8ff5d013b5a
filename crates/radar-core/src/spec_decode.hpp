#pragma once
// Reading a spec from JSON: straight from the constructor's text (errors carry
// a position), or from a node of an already parsed command (errors do not).

#include <expected>
#include <string_view>

#include "crates/radar-core/src/radar_error.hpp"
#include "crates/radar-core/src/spec.hpp"
#include "json/document.hpp"

namespace fenmor {

std::expected<RadarSpec, RadarError> decode_spec_text(std::string_view text);
std::expected<RadarSpec, RadarError> decode_spec_document(const json::Node& node);

}  // namespace fenmor
