#include "crates/radar-core/src/replay/recording_line.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "json/document.hpp"

namespace fenmor::replay {

namespace {

constexpr std::string_view not_an_object =
    R"(an event line must be a JSON object with "symbol" and "event" members)";

bool is_blank(std::string_view text) noexcept {
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

// The index of the first byte of the first ill-formed sequence (as a strict
// decoder reports it: no surrogates, no overlong forms, nothing past
// U+10FFFF), or nothing when the whole text is UTF-8.
std::optional<std::size_t> first_invalid_utf8(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    // Plain ASCII, 32 and then 8 bytes at a time: nearly every recording is.
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    if (i + 32 <= size) {
      std::uint64_t words[4];
      std::memcpy(words, bytes + i, 32);
      if (((words[0] | words[1] | words[2] | words[3]) & high_bits) == 0) {
        i += 32;
        continue;
      }
    }
    if (i + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      if ((word & high_bits) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (i + 1 >= size || bytes[i + 1] < low || bytes[i + 1] > high) return i;
    for (std::size_t k = 2; k < length; ++k) {
      if (i + k >= size || (bytes[i + k] & 0xC0) != 0x80) return i;
    }
    i += length;
  }
  return std::nullopt;
}

LineFault fault(RadarError error) {
  std::optional<std::string> field = fault_field(error);
  return LineFault{error.text(), std::move(field)};
}

}  // namespace

std::optional<std::string> fault_field(const RadarError& error) {
  if (error.path().empty()) return std::nullopt;
  return std::string(error.path());
}

LineReading read_recording_line(std::string_view text, WorkingBuffers& buffers) {
  if (is_blank(text)) return BlankLine{};
  if (const auto invalid = first_invalid_utf8(text)) {
    return LineFault{"not valid UTF-8 (byte " + std::to_string(*invalid + 1) + " of the line)",
                     std::nullopt};
  }
  // The common line, in the common form, straight from its text.
  if (const auto symbol = buffers.quick.read_feed(text)) {
    return FeedCommand{*symbol, buffers.quick.event()};
  }
  // Anything else is judged by the document route. A line that is an object
  // reads as a "feed" of its members whatever its own "cmd" says; adding the
  // member changes nothing else (it adds no depth, and a fault in the line
  // comes before the end). A line that is not an object is described as the
  // radar describes such a text given as a command.
  auto root = json::parse_document(text, buffers.document);
  if (!root) return fault(RadarError::parse(root.error().describe()));
  if ((*root)->kind() != json::NodeKind::Object) {
    return LineFault{std::string(not_an_object), std::nullopt};
  }
  auto feed = decode_feed(**root);
  if (!feed) return fault(std::move(feed).error());
  return *feed;
}

}  // namespace fenmor::replay
