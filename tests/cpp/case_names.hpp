#pragma once
// Names for parametrised cases, readable in a test list and the same from
// build to build (without them CTest names a case by the bytes of its
// parameter). A name is the case's position, then its own text with every run
// of characters other than letters and digits folded to one '_', a minus sign
// spelt out: `{"cmd":"version"} x` as case 3 is "03_cmd_version_x".

#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <string_view>

namespace fenmor::test {

inline std::string case_name(std::size_t index, std::string_view text) {
  std::string name = (index < 10 ? "0" : "") + std::to_string(index);
  const std::size_t longest = name.size() + 40;
  bool gap = true;
  for (std::size_t i = 0; i < text.size() && name.size() < longest; ++i) {
    const char c = text[i];
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    const bool minus = c == '-' && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9';
    if (!word && !minus) {
      gap = true;
      continue;
    }
    if (gap) name += '_';
    gap = minus;
    name += minus ? std::string_view("minus") : std::string_view(&c, 1);
  }
  // All digits would read to CTest as a plain index, which it replaces.
  if (name.find('_') == std::string::npos) name += "_empty";
  return name;
}

// Anything that prints to a stream (numbers, kinds with operator<<), as text.
template <class... Parts>
std::string text_of(const Parts&... parts) {
  std::ostringstream out;
  ((out << parts << ' '), ...);
  return out.str();
}

// The generator for a suite whose parameter has a text member:
// INSTANTIATE_TEST_SUITE_P(Forms, Suite, Values(...), NamedBy<&Case::text>{}).
template <auto Member>
struct NamedBy {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    return case_name(info.index, info.param.*Member);
  }
};

}  // namespace fenmor::test
