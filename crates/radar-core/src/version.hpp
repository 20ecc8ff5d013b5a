#pragma once
#include <string_view>

namespace fenmor {
inline constexpr std::string_view library_version = "0.2.0";
}
