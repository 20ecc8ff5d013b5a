// The text route: a spec read straight from the constructor's text, in text
// order, with every failure placed in the text. It shares with the document
// reader the lexer (strings, numbers, literals), the punctuation of arrays
// and objects with its choice of faults (json/punctuation.hpp), the grammar-
// only skip of unused members and the schema (spec_schema.hpp).
//
// Why it does not simply parse a document and decode that: the constructor's
// messages follow the text, not the document. The first fault in text order
// wins (a document decodes members in byte order of names), a repeated field
// is "duplicate field" (a document keeps the last), every decoding fault
// carries the place where it was met, a fixed-size array form with one
// element too many is "trailing characters" there, and an unused member may
// nest without limit and hold numbers or escapes no document would accept.
// What remains here is only what those rules need.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "crates/radar-core/src/spec_decode.hpp"
#include "crates/radar-core/src/spec_schema.hpp"
#include "json/cursor.hpp"
#include "json/messages.hpp"
#include "json/punctuation.hpp"

namespace fenmor {

namespace {

using json::Cursor;
using json::end_of_text;
using json::SyntaxCode;
using json::SyntaxError;
using json::Unexpected;

template <class T>
using Result = std::expected<T, RadarError>;
using Status = std::expected<void, RadarError>;

class SpecReader {
 public:
  SpecReader(std::string_view text, SpecPlaces* places) : in_(text), places_(places) {}

  Result<RadarSpec> read() {
    RadarSpec spec;
    if (places_ != nullptr) {
      places_->array_form = in_.peek_token() == '[';
      places_->start = in_.offset();
    }
    auto read = read_record(spec_schema::spec,
                            [&](std::size_t field) { return read_spec_field(spec, field); });
    if (!read) return std::unexpected(std::move(read.error()));
    if (auto end = in_.finish(); !end) return syntax(end.error());
    return spec;
  }

 private:
  // --- failures -----------------------------------------------------------

  static std::unexpected<RadarError> syntax(const SyntaxError& error) {
    return std::unexpected(RadarError::parse(error.describe()));
  }
  std::unexpected<RadarError> syntax_at_peek(SyntaxCode code) const {
    return syntax(in_.peek_error(code));
  }
  // A decoding message placed where reading stands.
  std::unexpected<RadarError> fail_here(std::string message) const {
    return std::unexpected(RadarError::parse(
        std::move(message) + json::position_suffix(json::locate(in_.text(), in_.offset()))));
  }

  // The value ahead is of the wrong kind for `expected`. A scalar is read
  // first (the failure lies just past it); an array or object is refused
  // unread (the failure lies just before its bracket).
  std::unexpected<RadarError> wrong_type_here(std::string_view expected) {
    std::string scratch;
    Unexpected found;
    switch (in_.peek_token()) {
      case end_of_text: return syntax_at_peek(SyntaxCode::EofWhileParsingValue);
      case '[': found = Unexpected::sequence(); break;
      case '{': found = Unexpected::map(); break;
      case 'n':
      case 't':
      case 'f': {
        const bool is_null = in_.peek() == 'n';
        auto literal = in_.read_literal();
        if (!literal) return syntax(literal.error());
        found = is_null ? Unexpected::null() : Unexpected::of_bool(*literal);
        break;
      }
      case '"': {
        auto text = in_.read_string(scratch);
        if (!text) return syntax(text.error());
        found = Unexpected::of_string(*text);
        break;
      }
      default: {
        const int c = in_.peek();
        if (c != '-' && (c < '0' || c > '9')) return syntax_at_peek(SyntaxCode::ExpectedSomeValue);
        auto number = in_.read_number();
        if (!number) return syntax(number.error());
        found = Unexpected::of_number(*number);
        break;
      }
    }
    return fail_here(json::invalid_type(found, expected));
  }

  // --- arrays and objects -------------------------------------------------

  // The next element or member is due (More), or the closing bracket or
  // brace is consumed (End): the first call of a loop opens it.
  Result<json::Next> next_element(bool first) {
    auto next = first ? json::open_array(in_) : json::after_element(in_);
    if (!next) return syntax(next.error());
    return *next;
  }
  Result<json::Next> next_member(bool first) {
    auto next = first ? json::open_object(in_) : json::after_member(in_);
    if (!next) return syntax(next.error());
    return *next;
  }

  // After the last element a fixed-size form wants: only the closing bracket.
  Status end_array() {
    const int c = in_.peek_token();
    if (c == ']') {
      in_.advance();
      return {};
    }
    if (c == end_of_text) return syntax_at_peek(SyntaxCode::EofWhileParsingList);
    if (c == ',') {
      in_.advance();
      if (in_.peek_token() == ']') return syntax_at_peek(SyntaxCode::TrailingComma);
    }
    return syntax_at_peek(SyntaxCode::TrailingCharacters);
  }

  // A member name, always decoded: an escape that gives no character (a
  // lone surrogate) fails here as in any other text. Only the values of
  // unused members are read by grammar alone.
  Result<std::string_view> read_name() {
    auto name = in_.read_string(name_);
    if (!name) return syntax(name.error());
    return *name;
  }

  // Each element of a variable-length array, through `element`.
  template <class ReadElement>
  Status read_elements(std::string_view expected, ReadElement element) {
    if (in_.peek_token() != '[') return wrong_type_here(expected);
    for (bool first = true;; first = false) {
      auto next = next_element(first);
      if (!next) return std::unexpected(std::move(next.error()));
      if (*next == json::Next::End) return {};
      if (auto read = element(); !read) return read;
    }
  }

  // Reads an object whose known member names are `fields`: `field(i)` reads
  // the value of fields[i]; other members are skipped whatever they hold. A
  // known name met twice fails at once. `seen` reports which were present.
  template <class ReadField>
  Status read_members(const spec_schema::Record& record, ReadField field) {
    const std::size_t count = record.fields.size();
    std::array<bool, spec_schema::max_fields> seen{};
    for (bool first = true;; first = false) {
      auto next = next_member(first);
      if (!next) return std::unexpected(std::move(next.error()));
      if (*next == json::Next::End) break;
      in_.peek_token();
      const std::size_t name_start = in_.offset();
      auto name = read_name();
      if (!name) return std::unexpected(std::move(name.error()));
      const std::size_t index = spec_schema::field_named(record, *name);
      if (index < count && seen[index]) return fail_here(json::duplicate_field(record.fields[index]));
      if (auto read = json::colon(in_); !read) return syntax(read.error());
      if (index == count) {
        note_ignored(name_start, *name);
        if (auto skipped = in_.skip_value(); !skipped) return syntax(skipped.error());
        continue;
      }
      seen[index] = true;
      note_field(record, index);
      if (auto read = field(index); !read) return read;
    }
    if (!seen[record.required_member]) {
      return fail_here(json::missing_field(record.fields[record.required_member]));
    }
    return {};
  }

  // The array form of `record`, each element through `field(index)`.
  template <class ReadField>
  Status read_positions(const spec_schema::Record& record, ReadField field) {
    for (std::size_t index = 0; index < record.fields.size(); ++index) {
      auto next = next_element(index == 0);
      if (!next) return std::unexpected(std::move(next.error()));
      if (*next == json::Next::End) {
        if (index < record.array_required) {
          return fail_here(json::invalid_length(record.too_few_length, record.too_few));
        }
        return {};
      }
      note_field(record, index);
      if (auto read = field(index); !read) return read;
    }
    return end_array();
  }

  // --- places -------------------------------------------------------------

  // The value of field `index` of `record` starts just ahead.
  void note_field(const spec_schema::Record& record, std::size_t index) {
    if (places_ == nullptr) return;
    in_.peek_token();
    const std::size_t at = in_.offset();
    if (&record == &spec_schema::spec) {
      if (index == spec_schema::Signals) places_->signals = at;
      if (index == spec_schema::Threshold) places_->threshold = at;
      return;
    }
    SpecPlaces::Signal& signal = places_->signal_places.back();
    if (index == spec_schema::Params) signal.params = at;
    if (index == spec_schema::Weight) signal.weight = at;
  }

  // A member of the spec or, once the signals are being read, of a signal.
  void note_ignored(std::size_t offset, std::string_view name) {
    if (places_ == nullptr) return;
    std::optional<std::size_t> signal;
    if (in_signal_) signal = places_->signal_places.size() - 1;
    places_->ignored.push_back({offset, signal, std::string(name)});
  }

  // --- values -------------------------------------------------------------

  Status read_f64(double& out) {
    const int c = in_.peek_token();
    if (c != '-' && (c < '0' || c > '9')) return wrong_type_here("f64");
    auto number = in_.read_number();
    if (!number) return syntax(number.error());
    out = number->as_double();
    return {};
  }

  Status read_strings(std::vector<std::string>& out) {
    return read_elements("a sequence", [&]() -> Status {
      if (in_.peek_token() != '"') return wrong_type_here("a string");
      auto text = in_.read_string(scratch_);
      if (!text) return syntax(text.error());
      out.emplace_back(*text);
      return {};
    });
  }

  Status read_params(std::vector<double>& out) {
    return read_elements("a sequence", [&]() -> Status {
      double value = 0;
      if (auto read = read_f64(value); !read) return read;
      out.push_back(value);
      return {};
    });
  }

  Status read_limit(std::optional<std::uint64_t>& out) {
    const int c = in_.peek_token();
    if (c == 'n') {
      if (auto literal = in_.read_literal(); !literal) return syntax(literal.error());
      out.reset();
      return {};
    }
    if (c != '-' && (c < '0' || c > '9')) return wrong_type_here("usize");
    auto number = in_.read_number();
    if (!number) return syntax(number.error());
    switch (number->kind) {
      case json::NumberKind::U64: out = number->u64; return {};
      case json::NumberKind::I64:
        return fail_here(json::invalid_value(Unexpected::of_number(*number), "usize"));
      case json::NumberKind::F64: break;
    }
    return fail_here(json::invalid_type(Unexpected::of_number(*number), "usize"));
  }

  Status kind_named(std::string_view name, IndicatorKind& out) {
    if (auto kind = indicator_kind_named(name)) {
      out = *kind;
      return {};
    }
    return fail_here(json::unknown_variant(name, indicator_names));
  }

  // A kind name, or an object with a single member: a kind name whose value
  // is null.
  Status read_kind(IndicatorKind& out) {
    const int c = in_.peek_token();
    if (c == '"') {
      auto name = in_.read_string(scratch_);
      if (!name) return syntax(name.error());
      return kind_named(*name, out);
    }
    if (c != '{') {
      return syntax_at_peek(c == end_of_text ? SyntaxCode::EofWhileParsingValue
                                             : SyntaxCode::ExpectedSomeValue);
    }
    in_.advance();
    if (in_.peek_token() != '"') return wrong_type_here("variant identifier");
    auto name = in_.read_string(scratch_);
    if (!name) return syntax(name.error());
    if (auto kind = kind_named(*name, out); !kind) return kind;
    if (auto read = json::colon(in_); !read) return syntax(read.error());
    if (in_.peek_token() != 'n') return wrong_type_here("unit");
    if (auto literal = in_.read_literal(); !literal) return syntax(literal.error());
    const int close = in_.peek_token();
    if (close == '}') {
      in_.advance();
      return {};
    }
    return syntax_at_peek(close == end_of_text ? SyntaxCode::EofWhileParsingObject
                                               : SyntaxCode::ExpectedSomeValue);
  }

  // A record in object or array form, each field through `field(index)`.
  template <class ReadField>
  Status read_record(const spec_schema::Record& record, ReadField field) {
    switch (in_.peek_token()) {
      case '{': return read_members(record, field);
      case '[': return read_positions(record, field);
      default: return wrong_type_here(record.expected);
    }
  }

  Status read_signal(Signal& signal) {
    in_signal_ = true;
    auto read = read_record(spec_schema::signal, [&](std::size_t field) -> Status {
      switch (field) {
        case spec_schema::Kind: return read_kind(signal.kind);
        case spec_schema::Params: return read_params(signal.params);
        default: return read_f64(signal.weight);
      }
    });
    in_signal_ = false;
    return read;
  }

  Status read_signals(std::vector<Signal>& out) {
    return read_elements("a sequence", [&]() -> Status {
      if (places_ != nullptr) {
        in_.peek_token();
        places_->signal_places.push_back({in_.offset(), std::nullopt, std::nullopt});
      }
      Signal signal;
      if (auto read = read_signal(signal); !read) return read;
      out.push_back(std::move(signal));
      return {};
    });
  }

  Status read_spec_field(RadarSpec& spec, std::size_t field) {
    switch (field) {
      case spec_schema::Venues: return read_strings(spec.venues);
      case spec_schema::Symbols: return read_strings(spec.symbols);
      case spec_schema::Signals: return read_signals(spec.signals);
      case spec_schema::Threshold: return read_f64(spec.threshold);
      default: return read_limit(spec.limit);
    }
  }

  Cursor in_;
  SpecPlaces* places_;      // null: nothing to record
  bool in_signal_ = false;  // members met belong to the last signal
  std::string name_;
  std::string scratch_;
};

}  // namespace

std::expected<RadarSpec, RadarError> decode_spec_text(std::string_view text, SpecPlaces* places) {
  return SpecReader(text, places).read();
}

}  // namespace fenmor
