#pragma once
// The spec schema, once: the members of a spec and of a signal (their names
// are also the array form's positions), what each form requires and the texts
// of a wrong type or length. Both spec readers work from it: the document
// route (spec_decode_document.cpp) and the text route (spec_decode_text.cpp).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace fenmor::spec_schema {

struct Record {
  std::string_view expected;  // what a value of the wrong type is told it should be
  std::span<const std::string_view> fields;  // object members, in array position order
  std::size_t required_member;  // the one member an object must have
  std::size_t array_required;   // leading elements an array form may not leave off
  std::size_t too_few_length;   // the length a too-short array form reports
  std::string_view too_few;     // expected text of a too-short array form
};

// Expected text of an array form with elements beyond the last field.
inline constexpr std::string_view too_many = "fewer elements in array";

enum SpecField : std::uint8_t { Venues, Symbols, Signals, Threshold, Limit };
inline constexpr std::array<std::string_view, 5> spec_fields = {"venues", "symbols", "signals",
                                                                "threshold", "limit"};
// A short array form reports length 2 whatever it holds: venues and symbols
// may be left off only together with everything after them.
inline constexpr Record spec{"struct RadarSpec", spec_fields, Signals, 3, 2,
                             "struct RadarSpec with 5 elements"};

enum SignalField : std::uint8_t { Kind, Params, Weight };
inline constexpr std::array<std::string_view, 3> signal_fields = {"kind", "params", "weight"};
inline constexpr Record signal{"struct Signal", signal_fields, Kind, 1, 0,
                               "struct Signal with 3 elements"};

// Readers keep one flag per field.
inline constexpr std::size_t max_fields = 8;
static_assert(spec.fields.size() <= max_fields && signal.fields.size() <= max_fields);

// The index of the field named `name`, or fields.size().
constexpr std::size_t field_named(const Record& record, std::string_view name) noexcept {
  std::size_t i = 0;
  while (i < record.fields.size() && record.fields[i] != name) ++i;
  return i;
}

}  // namespace fenmor::spec_schema
