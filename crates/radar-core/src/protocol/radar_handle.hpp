#pragma once
// The radar handle: the validated spec and the stored states, driven by JSON
// command texts. Every command answers a reply text; none throws.

#include <expected>
#include <string>
#include <string_view>

#include "crates/radar-core/src/protocol/quick_command.hpp"
#include "crates/radar-core/src/radar_error.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/symbol_state/dataset.hpp"
#include "json/document.hpp"

namespace fenmor {

class RadarHandle {
 public:
  explicit RadarHandle(CompiledSpec spec);

  // Applies one command and returns its reply. The view stays valid until the
  // next call. A failing command leaves spec and dataset exactly as they were.
  std::string_view command(std::string_view text);

  const RadarSpec& spec() const noexcept { return spec_.spec(); }
  const Dataset& dataset() const noexcept { return dataset_; }

 private:
  using Outcome = std::expected<std::string_view, RadarError>;

  Outcome dispatch(std::string_view text);
  Outcome apply_quick(const QuickCommand& command);
  Outcome set_spec(const json::Node& command);
  Outcome feed(const json::Node& command);
  Outcome feed_batch(const json::Node& command);
  Outcome alerts();
  Outcome scan(const json::Node& command);

  CompiledSpec spec_;
  Dataset dataset_;
  // Reused from command to command so that steady traffic stops allocating.
  QuickReader quick_;
  json::Document document_;
  std::string reply_;
};

}  // namespace fenmor
