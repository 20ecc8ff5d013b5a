#include "crates/radar-core/src/convert/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace fenmor::convert {

Utf8Check check_utf8(std::string_view bytes) noexcept {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    if (i + 8 <= size) {  // eight ASCII bytes at a time: the common case
      std::uint64_t word;
      std::memcpy(&word, data + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
      return {i, true};
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= size) return {i, false};
      const unsigned byte = data[i + k];
      const bool fits = k == 1 ? (byte >= low && byte <= high) : (byte >= 0x80 && byte <= 0xBF);
      if (!fits) return {i, true};
    }
    i += length;
  }
  return {size, false};
}

}  // namespace fenmor::convert
