// The line splitter stopped at a line and resumed later gives the same lines
// as one run straight through, however the input is cut into blocks; a byte-
// order mark is skipped only where the input starts a file.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crates/radar-core/src/replay/line_splitter.hpp"

namespace fenmor::replay {
namespace {

using Lines = std::vector<std::pair<std::uint64_t, std::string>>;

// Every line of `input` in blocks of `block` bytes, stopping after each line
// whose number is in `stops` and resuming with an empty block.
Lines split_all(std::string_view input, std::size_t block, bool starts_file,
                const std::vector<std::uint64_t>& stops) {
  LineSplitter splitter(starts_file);
  Lines lines;
  std::size_t next_stop = 0;
  bool stopped = false;
  const auto on_line = [&](std::uint64_t number, std::string_view text) {
    lines.emplace_back(number, std::string(text));
    stopped = next_stop < stops.size() && stops[next_stop] == number;
    if (stopped) ++next_stop;
    return !stopped;
  };
  for (std::size_t at = 0; at < input.size(); at += block) {
    splitter.split(input.substr(at, block), on_line);
    while (stopped) {
      stopped = false;
      splitter.split({}, on_line);
    }
  }
  do {
    stopped = false;
    splitter.finish(true, on_line);
  } while (stopped);
  return lines;
}

TEST(LineSplitter, StopsAndResumesWithoutLosingOrRepeatingALine) {
  const std::string input = "\xEF\xBB\xBF" "a\n\nbb\r\nccc\n\n\ndddd\ne";
  const Lines whole = split_all(input, input.size(), true, {});
  ASSERT_EQ(whole.size(), 8U);
  EXPECT_EQ(whole.front().second, "a");
  EXPECT_EQ(whole.back(), (std::pair<std::uint64_t, std::string>{8, "e"}));
  for (std::size_t block = 1; block <= input.size(); ++block) {
    for (std::uint64_t stop = 1; stop <= 8; ++stop) {
      EXPECT_EQ(split_all(input, block, true, {stop}), whole) << block << " " << stop;
    }
    EXPECT_EQ(split_all(input, block, true, {1, 2, 3, 4, 5, 6, 7, 8}), whole) << block;
  }
}

TEST(LineSplitter, KeepsAByteOrderMarkInsideAFile) {
  const std::string input = "\xEF\xBB\xBF" "x\ny";
  EXPECT_EQ(split_all(input, 2, false, {}).front().second, "\xEF\xBB\xBF" "x");
  EXPECT_EQ(split_all(input, 2, true, {1}).front().second, "x");
}

}  // namespace
}  // namespace fenmor::replay
