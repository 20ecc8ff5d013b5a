#pragma once
// Writing replies: compact JSON, strings with the minimal escapes, integers in
// plain decimal, finite doubles by format_float and the others as null.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crates/radar-core/src/radar_error.hpp"
#include "crates/radar-core/src/scan.hpp"
#include "crates/radar-core/src/version.hpp"

namespace fenmor {

inline constexpr std::string_view ok_reply = R"({"ok":true})";
inline constexpr std::string_view version_reply = R"({"version":")" FENMOR_VERSION R"("})";

void append_json_string(std::string& out, std::string_view text);
void append_json_double(std::string& out, double value);
void append_json_int(std::string& out, std::int64_t value);
void append_json_uint(std::string& out, std::uint64_t value);

void write_error_reply(std::string& out, const RadarError& error);
void write_alerts_reply(std::string& out, const ScanResult& result);
// One alert as an alerts reply writes it, its factors named by `factor_names`:
// {"symbol":...,"severity":...,"factors":{...},"ts":...}.
void write_alert(std::string& out, const Alert& alert, std::span<const std::string> factor_names);

}  // namespace fenmor
