#pragma once
// The first pass of a replay by parts: every line of one part judged as the
// single replay judges it, nothing fed. What comes out is small whatever the
// part's size: counts, the blank and bad lines, and the "records": the
// accepted events at which the part's running maximum of ts, divided by T
// (rounded down), rises, the part's first accepted event included. A
// checkpoint on ts can only fall at such an event, so the records and the
// counts place every checkpoint of the whole input.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/replay/line_splitter.hpp"

namespace fenmor::replay {

struct PartBadLine {
  std::uint64_t line;  // in the part, from 1
  std::string message;
  std::optional<std::string> field;
};

struct PartRecord {
  std::uint64_t events_before;  // accepted events of the part before this one
  std::int64_t ts;
};

// What a block (or the end) of the part completed.
struct PartFindings {
  std::vector<std::uint64_t> blank;
  std::vector<PartBadLine> bad;
  std::vector<PartRecord> records;
};

class PartScanner {
 public:
  // `every_ts` (T) > 0 when set; records are kept only with it. A part that
  // starts its file skips a byte-order mark there.
  PartScanner(std::optional<std::uint64_t> every_ts, bool starts_file) noexcept
      : every_ts_(every_ts), splitter_(starts_file) {}

  void feed(std::string_view block, PartFindings& out);
  // The end of the part: see LineSplitter::finish for `complete`.
  void finish(bool complete, PartFindings& out);

  std::uint64_t lines() const noexcept { return splitter_.lines(); }
  std::uint64_t events() const noexcept { return events_; }
  std::optional<std::int64_t> max_ts() const noexcept { return max_ts_; }

 private:
  void take_line(std::uint64_t number, std::string_view text, PartFindings& out);

  std::optional<std::uint64_t> every_ts_;
  LineSplitter splitter_;
  std::uint64_t events_ = 0;
  std::optional<std::int64_t> max_ts_;
};

}  // namespace fenmor::replay
