#pragma once
// A broken invariant ends the fuzz run: the harness prints what it saw and
// aborts, and libFuzzer keeps the input that did it.

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fenmor::fuzz {

[[noreturn]] inline void broken(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n*** invariant broken: %.*s\n", static_cast<int>(what.size()),
               what.data());
  if (!detail.empty()) {
    // At most a few kilobytes: an input may be large.
    const int shown = detail.size() > 4096 ? 4096 : static_cast<int>(detail.size());
    std::fprintf(stderr, "*** %.*s\n", shown, detail.data());
  }
  std::abort();
}

inline void require(bool holds, std::string_view what, std::string_view detail = {}) {
  if (!holds) broken(what, detail);
}

}  // namespace fenmor::fuzz
