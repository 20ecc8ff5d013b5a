#pragma once
// The two member lookups every command uses on its command object. A
// failure's path is the member's name.

#include <expected>
#include <string>
#include <string_view>

#include "crates/radar-core/src/radar_error.hpp"
#include "json/document.hpp"

namespace fenmor {

// Any JSON value, null included: the member's decoder judges it.
inline std::expected<const json::Node*, RadarError> required_member(const json::Node& command,
                                                                    std::string_view name) {
  const json::Node* member = command.find(name);
  if (member == nullptr) {
    std::string message = "missing \"";
    message.append(name);
    message.push_back('"');
    return std::unexpected(RadarError::bad_spec(std::move(message)).in_member(name));
  }
  return member;
}

// Absent and not-a-string fail alike. The view points into the document.
inline std::expected<std::string_view, RadarError> required_string(const json::Node& command,
                                                                   std::string_view name) {
  const json::Node* member = command.find(name);
  if (member == nullptr || member->kind() != json::NodeKind::String) {
    std::string message = "missing string \"";
    message.append(name);
    message.push_back('"');
    return std::unexpected(RadarError::bad_spec(std::move(message)).in_member(name));
  }
  return member->string();
}

}  // namespace fenmor
