#pragma once
// The punctuation of arrays and objects: which token may come next, and the
// fault (with its place) when another one does. Shared by the value reader
// (value_reader.hpp) and the spec's streaming reader, so that both choose
// the same fault for the same text.

#include <cstdint>
#include <expected>

#include "json/cursor.hpp"

namespace fenmor::json {

enum class Next : std::uint8_t {
  More,  // another element (or member name, at its opening quote) is due
  End,   // the closing bracket or brace, consumed
};

// On '[': the bracket, then whether the array is empty.
inline std::expected<Next, SyntaxError> open_array(Cursor& in) {
  in.advance();
  const int next = in.peek_token();
  if (next == ']') {
    in.advance();
    return Next::End;
  }
  if (next == end_of_text) return std::unexpected(in.peek_error(SyntaxCode::EofWhileParsingList));
  return Next::More;
}

// After an element: a comma and the next element, or the closing bracket.
inline std::expected<Next, SyntaxError> after_element(Cursor& in) {
  const int next = in.peek_token();
  if (next == ']') {
    in.advance();
    return Next::End;
  }
  if (next != ',') {
    return std::unexpected(in.peek_error(next == end_of_text ? SyntaxCode::EofWhileParsingList
                                                             : SyntaxCode::ExpectedListCommaOrEnd));
  }
  in.advance();
  const int after = in.peek_token();
  if (after == ']') return std::unexpected(in.peek_error(SyntaxCode::TrailingComma));
  if (after == end_of_text) return std::unexpected(in.peek_error(SyntaxCode::EofWhileParsingValue));
  return Next::More;
}

// On '{': the brace, then whether a member name follows or the object is empty.
inline std::expected<Next, SyntaxError> open_object(Cursor& in) {
  in.advance();
  const int next = in.peek_token();
  if (next == '}') {
    in.advance();
    return Next::End;
  }
  if (next == end_of_text) return std::unexpected(in.peek_error(SyntaxCode::EofWhileParsingObject));
  if (next != '"') return std::unexpected(in.peek_error(SyntaxCode::KeyMustBeAString));
  return Next::More;
}

// After a member's value: a comma and the next name, or the closing brace.
inline std::expected<Next, SyntaxError> after_member(Cursor& in) {
  const int next = in.peek_token();
  if (next == '}') {
    in.advance();
    return Next::End;
  }
  if (next != ',') {
    return std::unexpected(in.peek_error(next == end_of_text ? SyntaxCode::EofWhileParsingObject
                                                             : SyntaxCode::ExpectedObjectCommaOrEnd));
  }
  in.advance();
  const int after = in.peek_token();
  if (after == '"') return Next::More;
  if (after == '}') return std::unexpected(in.peek_error(SyntaxCode::TrailingComma));
  return std::unexpected(in.peek_error(after == end_of_text ? SyntaxCode::EofWhileParsingValue
                                                            : SyntaxCode::KeyMustBeAString));
}

// After a member name: the colon.
inline std::expected<void, SyntaxError> colon(Cursor& in) {
  const int next = in.peek_token();
  if (next == ':') {
    in.advance();
    return {};
  }
  return std::unexpected(in.peek_error(next == end_of_text ? SyntaxCode::EofWhileParsingObject
                                                           : SyntaxCode::ExpectedColon));
}

}  // namespace fenmor::json
