#pragma once
// Which shard replays a line: a stable hash of the symbol a radar reads from
// it, found without reading the rest of the line where the line allows.
//
// The hash is FNV-1a (64 bits) of the symbol's UTF-8 bytes, mixed by the
// 64-bit MurmurHash3 finaliser so that every bit depends on every byte (FNV's
// low bits alone split similar names unevenly). The shard is the hash modulo
// the number of shards. Nothing is stored by it: it only has to be the same
// in every process of one replay.

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace detail {

// Calls `at(i)` for every i where `text[i]` is a backslash or a 'y', in
// order, until it answers false; false then. Sixteen bytes at a time where
// SSE2 is there (every x86-64), eight at a time otherwise.
template <class At>
bool each_backslash_or_y(std::string_view text, At&& at) noexcept {
  const char* const data = text.data();
  const std::size_t size = text.size();
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i y = _mm_set1_epi8('y');
  for (; i + 16 <= size; i += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    auto hits = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, backslash), _mm_cmpeq_epi8(chunk, y))));
    for (; hits != 0; hits &= hits - 1) {
      if (!at(i + static_cast<std::size_t>(std::countr_zero(hits)))) return false;
    }
  }
#else
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  const auto has = [](std::uint64_t word, unsigned char byte) {
    const std::uint64_t x = word ^ (ones * byte);
    return ((x - ones) & ~x & (ones << 7)) != 0;
  };
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (!has(word, '\\') && !has(word, 'y')) continue;
    for (std::size_t k = i; k < i + 8; ++k) {
      if ((data[k] == '\\' || data[k] == 'y') && !at(k)) return false;
    }
  }
#endif
  for (; i < size; ++i) {
    if ((data[i] == '\\' || data[i] == 'y') && !at(i)) return false;
  }
  return true;
}

}  // namespace detail

// The symbol of a line whose text has no backslash and names "symbol" once,
// as a member: then that member is the one a radar reads, or the line has
// no symbol of its own and every radar rejects it (so any shard may skip
// it). Without escapes every quote opens or closes a string, so the text
// "symbol" in quotes is a string and, followed by a colon, a member name.
// Nothing for any other line: it must be read whole.
//
// Most lines are another shard's, so this is the cost of skipping one: a
// single vectorised pass stopping only at a backslash or a 'y' (rare in
// recordings; the 'y' of the key), then the symbol's few bytes.
inline std::optional<std::string_view> quick_symbol(std::string_view line) noexcept {
  constexpr std::string_view key = "\"symbol\"";
  constexpr std::size_t none = std::string_view::npos;
  const char* const text = line.data();
  const std::size_t size = line.size();
  std::size_t at = none;  // where the key starts
  // False at a backslash or a second key (not overlapping the first).
  const auto look = [&](std::size_t i) {
    if (text[i] == '\\') return false;
    if (i < 2 || i - 2 + key.size() > size || line.substr(i - 2, key.size()) != key) return true;
    if (at != none && i - 2 < at + key.size()) return true;
    if (at != none) return false;
    at = i - 2;
    return true;
  };
  if (!detail::each_backslash_or_y(line, look)) return std::nullopt;
  if (at == none) return std::nullopt;
  std::size_t i = at + key.size();
  const auto skip_space = [&] {
    while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
  };
  skip_space();
  if (i >= size || text[i] != ':') return std::nullopt;
  ++i;
  skip_space();
  if (i >= size || text[i] != '"') return std::nullopt;
  const std::size_t begin = i + 1;
  const void* end = std::memchr(text + begin, '"', size - begin);
  if (end == nullptr) return std::nullopt;
  return line.substr(begin, static_cast<std::size_t>(static_cast<const char*>(end) - text) - begin);
}

}  // namespace fenmor::replay
