#pragma once
// Vendor files are UTF-8 text; a file that is not is refused where it breaks,
// as a text reader would refuse it, rather than written on as mojibake.

#include <cstddef>
#include <string_view>

namespace fenmor::convert {

struct Utf8Check {
  std::size_t valid;  // bytes of whole, well-formed characters from the start
  bool broken;        // a malformed sequence starts at `valid`
};

// Checks `bytes`; an incomplete character at the very end is not broken
// (its rest may come with the next block), it only ends `valid` early.
Utf8Check check_utf8(std::string_view bytes) noexcept;

}  // namespace fenmor::convert
