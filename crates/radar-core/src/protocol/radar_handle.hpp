#pragma once
// The radar handle: the validated spec and the stored states, driven by JSON
// command texts or by commands already decoded. Every command answers a reply
// text; none throws.

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "crates/radar-core/src/protocol/decoded_command.hpp"
#include "crates/radar-core/src/radar_error.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/symbol_state/dataset.hpp"

namespace fenmor {

class RadarHandle {
 public:
  explicit RadarHandle(CompiledSpec spec);

  // Applies one command and returns its reply. The view stays valid until the
  // next command of any radar on the calling thread (the reply is written to
  // the thread's working buffers). A failing command leaves spec and dataset
  // exactly as they were.
  std::string_view command(std::string_view text);

  // Carries out a decoded command: the reply, or the error of a scan whose
  // stored spec no longer validates. Changes nothing on failure.
  std::expected<std::string_view, RadarError> apply(DecodedCommand&& command);
  // The common cases, without a reply.
  void apply(const FeedCommand& command) {
    dataset_.feed(command.symbol, command.event, spec_.window());
  }
  void apply(const FeedBatchCommand& command) { apply(command.symbol, *command.events); }
  void apply(std::string_view symbol, std::span<const Event> events) {
    dataset_.feed_all(symbol, events, spec_.window());
  }
  // The symbol's state (see Dataset::state_of): valid until a command
  // clears the dataset ("reset", "set_spec").
  SymbolState& state_of(std::string_view symbol) { return dataset_.state_of(symbol, spec_.window()); }

  const RadarSpec& spec() const noexcept { return spec_.spec(); }
  const CompiledSpec& compiled() const noexcept { return spec_; }
  const Dataset& dataset() const noexcept { return dataset_; }

 private:
  CompiledSpec spec_;
  Dataset dataset_;
};

}  // namespace fenmor
