#pragma once
// Reads a reply text back for the fuzz harnesses. It shares no code with the
// radar's own reader and is stricter than JSON: a reply must be compact, use
// only the escapes the reply writer uses, and have one of the four shapes.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fenmor::fuzz {

enum class ReplyShape : std::uint8_t { Ok, Version, Error, Alerts };

struct AlertReply {
  std::string symbol;
  double severity = 0;
  std::vector<std::pair<std::string, double>> factors;  // as written, "severity" last
  std::int64_t ts = 0;
};

struct Reply {
  ReplyShape shape = ReplyShape::Ok;
  std::string error;  // ReplyShape::Error: the error text, escapes resolved
  std::vector<AlertReply> alerts;
  std::uint64_t scanned = 0;
};

// The reply, or what is wrong with it.
std::expected<Reply, std::string> read_reply(std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlongs, no surrogates, at most
// U+10FFFF).
bool is_utf8(std::string_view text) noexcept;

}  // namespace fenmor::fuzz
