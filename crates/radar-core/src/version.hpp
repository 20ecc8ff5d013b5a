#pragma once
#include <string_view>

// FENMOR_VERSION comes from the build (VERSION at the top of the tree).
#ifndef FENMOR_VERSION
#error "FENMOR_VERSION is not defined: build through the project's CMakeLists.txt"
#endif

namespace fenmor {
inline constexpr std::string_view library_version = FENMOR_VERSION;
}
