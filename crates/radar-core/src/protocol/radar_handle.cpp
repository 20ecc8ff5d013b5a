#include "crates/radar-core/src/protocol/radar_handle.hpp"

#include <type_traits>
#include <utility>

#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/protocol/scan_commands.hpp"

namespace fenmor {

RadarHandle::RadarHandle(CompiledSpec spec) : spec_(std::move(spec)) {}

std::string_view RadarHandle::command(std::string_view text) {
  WorkingBuffers& buffers = thread_working_buffers();
  buffers.fresh_reply();
  auto decoded = decode_command(text, buffers);
  auto outcome = decoded ? apply(std::move(*decoded))
                         : std::expected<std::string_view, RadarError>(
                               std::unexpected(std::move(decoded).error()));
  if (!outcome) {
    buffers.reply.clear();
    write_error_reply(buffers.reply, outcome.error());
  }
  // No reply points into the document: errors carry their own text, and the
  // alerts reply is written to the reply buffer, which trimming keeps.
  const std::string_view reply = outcome ? *outcome : std::string_view(buffers.reply);
  buffers.trim_after(text.size());
  return reply;
}

std::expected<std::string_view, RadarError> RadarHandle::apply(DecodedCommand&& command) {
  using Outcome = std::expected<std::string_view, RadarError>;
  return std::visit(
      [&](auto&& c) -> Outcome {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, FeedCommand>) {
          apply(c);
          return ok_reply;
        } else if constexpr (std::is_same_v<C, FeedBatchCommand>) {
          apply(c);
          return ok_reply;
        } else if constexpr (std::is_same_v<C, AlertsCommand>) {
          std::string& reply = thread_working_buffers().fresh_reply();
          if (auto done = run_alerts(spec_, dataset_, reply); !done) {
            return std::unexpected(std::move(done).error());
          }
          return reply;
        } else if constexpr (std::is_same_v<C, ScanCommand>) {
          std::string& reply = thread_working_buffers().fresh_reply();
          if (auto done = run_scan(spec_, *c.symbol_events, reply); !done) {
            return std::unexpected(std::move(done).error());
          }
          return reply;
        } else if constexpr (std::is_same_v<C, VersionCommand>) {
          return version_reply;
        } else if constexpr (std::is_same_v<C, ResetCommand>) {
          dataset_.clear();
          return ok_reply;
        } else {
          static_assert(std::is_same_v<C, SetSpecCommand>);
          spec_ = std::move(c.spec);
          dataset_.clear();
          return ok_reply;
        }
      },
      std::move(command));
}

}  // namespace fenmor
