#pragma once
// Which shard replays a line: a stable hash of the symbol a radar reads from
// it, found without reading the rest of the line where the line allows.
//
// The hash is FNV-1a (64 bits) of the symbol's UTF-8 bytes, mixed by the
// 64-bit MurmurHash3 finaliser so that every bit depends on every byte (FNV's
// low bits alone split similar names unevenly). The shard is the hash modulo
// the number of shards. Nothing is stored by it: it only has to be the same
// in every process of one replay.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace fenmor::replay {

inline std::uint64_t symbol_hash(std::string_view symbol) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : symbol) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// The symbol of a line whose text has no backslash and names "symbol" once,
// as a member: then that member is the one a radar reads, or the line has
// no symbol of its own and every radar rejects it (so any shard may skip
// it). Without escapes every quote opens or closes a string, so the text
// "symbol" in quotes is a string and, followed by a colon, a member name.
// Nothing for any other line: it must be read whole.
inline std::optional<std::string_view> quick_symbol(std::string_view line) noexcept {
  constexpr std::string_view key = "\"symbol\"";
  // memchr and memmem: one vectorised pass each, where a search for the key
  // by its first byte would stop at every quote of the line.
  if (std::memchr(line.data(), '\\', line.size()) != nullptr) return std::nullopt;
  const auto find_key = [&](std::size_t from) -> std::size_t {
    const void* found = ::memmem(line.data() + from, line.size() - from, key.data(), key.size());
    return found == nullptr ? std::string_view::npos
                            : static_cast<std::size_t>(static_cast<const char*>(found) - line.data());
  };
  // Most recorders write the symbol first.
  const std::size_t at = line.starts_with("{\"symbol\"") ? 1 : find_key(0);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t i = at + key.size();
  if (find_key(i) != std::string_view::npos) return std::nullopt;
  const auto skip_space = [&] {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
  };
  skip_space();
  if (i >= line.size() || line[i] != ':') return std::nullopt;
  ++i;
  skip_space();
  if (i >= line.size() || line[i] != '"') return std::nullopt;
  const std::size_t begin = i + 1;
  const void* end = std::memchr(line.data() + begin, '"', line.size() - begin);
  if (end == nullptr) return std::nullopt;
  return line.substr(begin, static_cast<std::size_t>(static_cast<const char*>(end) - line.data()) - begin);
}

}  // namespace fenmor::replay
