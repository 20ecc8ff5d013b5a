#include "crates/radar-core/src/replay/crossing_line.hpp"

#include "crates/radar-core/src/protocol/replies.hpp"

namespace fenmor::replay {

void append_crossing_line(std::string& out, const Crossing& crossing, std::string_view spec_member,
                          std::span<const std::string> factor_names) {
  out.append(R"({"crossing":")");
  out.append(direction_name(crossing.direction));
  out.append(R"(",)");
  out.append(spec_member);
  out.append(R"("events":)");
  append_json_uint(out, crossing.events);
  out.push_back(',');
  // The alert's members, without the brace that opens its own object.
  const std::size_t brace = out.size();
  write_alert(out, crossing.alert, factor_names);
  out.erase(brace, 1);
  out.push_back('\n');
}

}  // namespace fenmor::replay
