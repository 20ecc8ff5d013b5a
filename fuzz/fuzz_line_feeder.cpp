// The line feeder against the command route on any recording: the feeder's
// checkpoints and bad lines must be exactly those of feeding the same lines
// one command at a time (tests/cpp/replay_oracle.hpp), whatever the bytes and
// wherever the blocks cut them. The first two bytes choose the checkpoint
// rule, strictness and the block size; the rest is the recording.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/spec_decode.hpp"
#include "fuzz/check.hpp"
#include "tests/cpp/replay_oracle.hpp"

namespace {

constexpr std::string_view spec_text =
    R"({"signals":[{"kind":"funding_flip","params":[0.0001]},{"kind":"oi_delta","params":[2,0.01]}],"threshold":0.0})";

std::vector<fenmor::RadarHandle> radars() {
  std::vector<fenmor::RadarHandle> out;
  out.emplace_back(*fenmor::CompiledSpec::compile(*fenmor::decode_spec_text(spec_text)));
  out.emplace_back(*fenmor::CompiledSpec::compile(*fenmor::decode_spec_text(spec_text)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t rule = data[0];
  const std::size_t block_size = 1 + data[1] % 64;
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::optional<std::uint64_t> every_events =
      (rule & 3) == 0 ? std::nullopt : std::optional<std::uint64_t>(rule & 3);
  const std::optional<std::uint64_t> every_ts =
      (rule & 12) == 0 ? std::nullopt : std::optional<std::uint64_t>(((rule >> 2) & 3) * 7);
  const bool strict = (rule & 16) != 0;

  std::vector<fenmor::RadarHandle> oracle_radars = radars();
  const auto expected =
      fenmor::oracle::replay_by_commands(input, oracle_radars, every_events, every_ts, strict);

  fenmor::replay::LineFeeder feeder(radars(), {every_events, every_ts}, strict);
  std::vector<fenmor::replay::FeederItem> items;
  for (std::size_t at = 0; at < input.size(); at += block_size) {
    feeder.feed(input.substr(at, block_size), items);
  }
  feeder.finish(true, items);

  fenmor::fuzz::require(items.size() == expected.items.size(), "item count differs");
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto got = fenmor::oracle::flat(items[i]);
    fenmor::fuzz::require(got == expected.items[i], "item differs",
                          got.texts.empty() ? std::string_view() : got.texts[0]);
  }
  fenmor::fuzz::require(feeder.events() == expected.events, "events differ");
  fenmor::fuzz::require(feeder.stopped() == expected.stopped, "stop differs");
  return 0;
}
