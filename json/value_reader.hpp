#pragma once
// The grammar of JSON values, shared by the document reader (which builds
// nodes) and by skipping (which builds nothing). It keeps its own stack of open
// arrays and objects, so nesting costs heap bytes, never call-stack frames.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "json/cursor.hpp"
#include "json/punctuation.hpp"

namespace fenmor::json {

// A sink that wants no values (it only skips) checks the grammar alone.
template <class Sink>
concept GrammarOnly = Sink::grammar_only;

// Sink receives, in text order: null(), boolean(b), number(n), string(s),
// begin_array(), end_array(), begin_object(), key(s), end_object(); a
// GrammarOnly sink gets no number, string or key, which are not converted.
// Opening the max_depth-th nested array or object fails.
template <class Sink>
std::expected<void, SyntaxError> read_value(Cursor& in, Sink& sink,
                                            std::vector<std::uint8_t>& frames,
                                            std::string& scratch, std::size_t max_depth) {
  enum : std::uint8_t { in_array, in_object };
  using Code = SyntaxCode;
  const auto fail = [&in](Code code) { return std::unexpected(in.peek_error(code)); };

  // On the opening quote of a member name: the name, then the colon.
  const auto read_key = [&]() -> std::expected<void, SyntaxError> {
    if constexpr (GrammarOnly<Sink>) {
      if (auto skipped = in.skip_string(); !skipped) return skipped;
    } else {
      auto name = in.read_string(scratch);
      if (!name) return std::unexpected(name.error());
      sink.key(*name);
    }
    return colon(in);
  };

  frames.clear();
  for (;;) {
    // A value is due.
    const int c = in.peek_token();
    switch (c) {
      case end_of_text:
        return fail(Code::EofWhileParsingValue);
      case 'n':
      case 't':
      case 'f': {
        auto literal = in.read_literal();
        if (!literal) return std::unexpected(literal.error());
        if (c == 'n') {
          sink.null();
        } else {
          sink.boolean(*literal);
        }
        break;
      }
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9': {
        if constexpr (GrammarOnly<Sink>) {
          if (auto skipped = in.skip_number(); !skipped) return skipped;
        } else {
          auto number = in.read_number();
          if (!number) return std::unexpected(number.error());
          sink.number(*number);
        }
        break;
      }
      case '"': {
        if constexpr (GrammarOnly<Sink>) {
          if (auto skipped = in.skip_string(); !skipped) return skipped;
        } else {
          auto text = in.read_string(scratch);
          if (!text) return std::unexpected(text.error());
          sink.string(*text);
        }
        break;
      }
      case '[': {
        if (frames.size() + 1 >= max_depth) return fail(Code::RecursionLimitExceeded);
        auto next = open_array(in);
        if (!next) return std::unexpected(next.error());
        sink.begin_array();
        if (*next == Next::End) {
          sink.end_array();
          break;
        }
        frames.push_back(in_array);
        continue;
      }
      case '{': {
        if (frames.size() + 1 >= max_depth) return fail(Code::RecursionLimitExceeded);
        auto next = open_object(in);
        if (!next) return std::unexpected(next.error());
        sink.begin_object();
        if (*next == Next::End) {
          sink.end_object();
          break;
        }
        frames.push_back(in_object);
        if (auto key = read_key(); !key) return key;
        continue;
      }
      default:
        return fail(Code::ExpectedSomeValue);
    }

    // A value is complete: close what ends here, or find where the next one starts.
    for (;;) {
      if (frames.empty()) return {};
      if (frames.back() == in_array) {
        auto next = after_element(in);
        if (!next) return std::unexpected(next.error());
        if (*next == Next::More) break;
        frames.pop_back();
        sink.end_array();
        continue;
      }
      auto next = after_member(in);
      if (!next) return std::unexpected(next.error());
      if (*next == Next::More) {
        if (auto key = read_key(); !key) return key;
        break;
      }
      frames.pop_back();
      sink.end_object();
    }
  }
}

}  // namespace fenmor::json
