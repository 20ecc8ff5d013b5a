#pragma once
// Splitting a recording, handed over in blocks cut anywhere, into numbered
// lines. A line ends at "\n", which is not part of its text (a CR before it
// is); a line cut by the end of a block is carried over to the next one. A
// byte-order mark at the very start of the input is skipped, unless the input
// is a piece that starts inside a file.

#include <cstdint>
#include <string>
#include <string_view>

namespace fenmor::replay {

class LineSplitter {
 public:
  explicit LineSplitter(bool skip_byte_order_mark = true) noexcept
      : starting_(skip_byte_order_mark) {}

  // Calls `on_line(number, text)` for every line that `block` completes, in
  // order, numbered from 1; stops early when it answers false. The rest of
  // the block is then held back, and the next call (an empty block resumes)
  // starts with it. The text is valid during the call only.
  template <class OnLine>
  void split(std::string_view block, OnLine&& on_line);

  // The end of the input: the lines held back, then the carried final line,
  // which needs no line break, when `complete` (dropped otherwise: the input
  // broke off inside it). Stops as split() does; then the final line stays
  // for the next call.
  template <class OnLine>
  void finish(bool complete, OnLine&& on_line);

  // Counts lines that came another way (rows of a columnar file between two
  // text files), so that the next line is numbered after them.
  void count(std::uint64_t lines) noexcept { number_ += lines; }

  // Lines given out so far: the number of the last one.
  std::uint64_t lines() const noexcept { return number_; }
  // Whether bytes still wait to be given out as lines: held back by a stop,
  // or carried (a line not ended yet).
  bool pending() const noexcept { return held_at_ < held_.size() || !carry_.empty(); }

 private:
  static constexpr std::size_t no_stop = std::string_view::npos;
  // The lines of a block once the start is settled; where in the block a
  // stop left off (no_stop when it was all taken).
  template <class OnLine>
  std::size_t split_lines(std::string_view block, OnLine&& on_line);
  // The held-back lines, then `block`; false when stopped again.
  template <class OnLine>
  bool resume(std::string_view block, OnLine&& on_line);
  // Holds back the rest of `block` from `at`, unless nothing stopped.
  void hold(std::string_view block, std::size_t at);

  // Until three bytes have come, the start may still be a byte-order mark.
  bool starting_;
  std::string carry_;
  std::string held_;
  std::size_t held_at_ = 0;  // held_ before this is taken (so stops within it copy nothing)
  std::uint64_t number_ = 0;
};

namespace detail {
inline constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
}

inline void LineSplitter::hold(std::string_view block, std::size_t at) {
  if (at == no_stop || at >= block.size()) return;
  held_.assign(block.substr(at));
  held_at_ = 0;
}

template <class OnLine>
bool LineSplitter::resume(std::string_view block, OnLine&& on_line) {
  if (!block.empty()) held_.append(block);
  const std::string_view rest = std::string_view(held_).substr(held_at_);
  const std::size_t stop = split_lines(rest, on_line);
  if (stop != no_stop && stop < rest.size()) {
    held_at_ += stop;
    return false;
  }
  held_.clear();
  held_at_ = 0;
  return stop == no_stop;
}

template <class OnLine>
void LineSplitter::split(std::string_view block, OnLine&& on_line) {
  if (held_at_ < held_.size()) {
    resume(block, on_line);
    return;
  }
  if (starting_) {
    if (carry_.size() + block.size() < detail::byte_order_mark.size()) {
      carry_.append(block);
      return;
    }
    starting_ = false;
    std::string start = std::move(carry_);
    carry_.clear();
    start.append(block);
    std::string_view text = start;
    if (text.starts_with(detail::byte_order_mark)) text.remove_prefix(3);
    hold(text, split_lines(text, on_line));
    return;
  }
  hold(block, split_lines(block, on_line));
}

template <class OnLine>
std::size_t LineSplitter::split_lines(std::string_view block, OnLine&& on_line) {
  std::size_t begin = 0;
  if (!carry_.empty()) {
    const std::size_t end = block.find('\n');
    if (end == std::string_view::npos) {
      carry_.append(block);
      return no_stop;
    }
    carry_.append(block.substr(0, end));
    const bool go_on = on_line(++number_, std::string_view(carry_));
    carry_.clear();
    begin = end + 1;
    if (!go_on) return begin;
  }
  while (begin < block.size()) {
    const std::size_t end = block.find('\n', begin);
    if (end == std::string_view::npos) {
      carry_.assign(block.substr(begin));
      return no_stop;
    }
    const bool go_on = on_line(++number_, block.substr(begin, end - begin));
    begin = end + 1;
    if (!go_on) return begin;
  }
  return no_stop;
}

template <class OnLine>
void LineSplitter::finish(bool complete, OnLine&& on_line) {
  if (starting_) {
    // Fewer than three bytes came: settle the start, then end as usual.
    starting_ = false;
    std::string start = std::move(carry_);
    carry_.clear();
    std::string_view text = start;
    if (text.starts_with(detail::byte_order_mark)) text.remove_prefix(3);
    const std::size_t stop = split_lines(text, on_line);
    if (stop != no_stop) {
      hold(text, stop);
      return;
    }
  } else if (held_at_ < held_.size()) {
    if (!resume({}, on_line)) return;
  }
  if (complete && !carry_.empty()) on_line(++number_, std::string_view(carry_));
  std::string().swap(carry_);
}

}  // namespace fenmor::replay
