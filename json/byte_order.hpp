#pragma once
// Byte-wise order of texts (bytes compared as unsigned), the order of member
// names in a document and of symbols everywhere.

#include <cstddef>
#include <string_view>

namespace fenmor::json {

// Inline, byte by byte: names and symbols are short and usually differ early,
// where a call to memcmp would cost more than the compare.
inline bool byte_less(std::string_view a, std::string_view b) noexcept {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

}  // namespace fenmor::json
