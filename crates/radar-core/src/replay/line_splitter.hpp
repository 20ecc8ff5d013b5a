#pragma once
// Splitting a recording, handed over in blocks cut anywhere, into numbered
// lines. A line ends at "\n", which is not part of its text (a CR before it
// is); a line cut by the end of a block is carried over to the next one. A
// byte-order mark at the very start of the input is skipped.

#include <cstdint>
#include <string>
#include <string_view>

namespace fenmor::replay {

class LineSplitter {
 public:
  // Calls `on_line(number, text)` for every line that `block` completes, in
  // order, numbered from 1; stops early when it answers false (the rest of
  // the block is then dropped). The text is valid during the call only.
  template <class OnLine>
  void split(std::string_view block, OnLine&& on_line);

  // The end of the input: the carried final line, which needs no line
  // break, goes to `on_line` when `complete`, and is dropped otherwise (the
  // input broke off inside it).
  template <class OnLine>
  void finish(bool complete, OnLine&& on_line);

  // Lines given out so far: the number of the last one.
  std::uint64_t lines() const noexcept { return number_; }

 private:
  // Until three bytes have come, the start may still be a byte-order mark.
  bool starting_ = true;
  std::string carry_;
  std::uint64_t number_ = 0;
};

namespace detail {
inline constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
}

template <class OnLine>
void LineSplitter::split(std::string_view block, OnLine&& on_line) {
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
    split(text, on_line);
    return;
  }
  std::size_t begin = 0;
  if (!carry_.empty()) {
    const std::size_t end = block.find('\n');
    if (end == std::string_view::npos) {
      carry_.append(block);
      return;
    }
    carry_.append(block.substr(0, end));
    const bool go_on = on_line(++number_, std::string_view(carry_));
    carry_.clear();
    if (!go_on) return;
    begin = end + 1;
  }
  while (begin < block.size()) {
    const std::size_t end = block.find('\n', begin);
    if (end == std::string_view::npos) {
      carry_.assign(block.substr(begin));
      return;
    }
    if (!on_line(++number_, block.substr(begin, end - begin))) return;
    begin = end + 1;
  }
}

template <class OnLine>
void LineSplitter::finish(bool complete, OnLine&& on_line) {
  if (starting_) {
    starting_ = false;
    std::string start = std::move(carry_);
    carry_.clear();
    std::string_view text = start;
    if (text.starts_with(detail::byte_order_mark)) text.remove_prefix(3);
    // Lines within the first bytes are whole; only the last may be cut.
    bool go_on = true;
    while (go_on) {
      const std::size_t end = text.find('\n');
      if (end == std::string_view::npos) break;
      go_on = on_line(++number_, text.substr(0, end));
      text.remove_prefix(end + 1);
    }
    if (go_on && complete && !text.empty()) on_line(++number_, text);
    return;
  }
  if (complete && !carry_.empty()) on_line(++number_, std::string_view(carry_));
  std::string().swap(carry_);
}

}  // namespace fenmor::replay
