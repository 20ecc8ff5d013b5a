#pragma once
// Syntax failures of the JSON reader: a fixed message per code, and the place
// in the text where reading stopped.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fenmor::json {

enum class SyntaxCode : std::uint8_t {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedSomeIdent,
  ExpectedSomeValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  LoneLeadingSurrogateInHexEscape,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
  RecursionLimitExceeded,
};

// The reader's message for a code, e.g. "EOF while parsing a list".
std::string_view message(SyntaxCode code) noexcept;

// Line is 1 + the line feeds before the offset; column counts the bytes from
// the start of that line up to the offset (so a byte's 1-based column when the
// offset lies just after it).
struct Position {
  std::size_t line = 1;
  std::size_t column = 0;
};
Position locate(std::string_view text, std::size_t offset) noexcept;

// The lines of many offsets of one text, counted as locate() counts them, each
// found by a search among the text's line feeds rather than by counting them
// from the start again (which makes many offsets cost the square of the text).
class LineIndex {
 public:
  explicit LineIndex(std::string_view text);
  std::size_t line(std::size_t offset) const noexcept;

 private:
  std::vector<std::size_t> feeds_;  // offsets of the line feeds, ascending
};

// " at line L column C"
std::string position_suffix(Position position);

struct SyntaxError {
  SyntaxCode code;
  Position position;

  // message + position suffix, e.g. "trailing characters at line 1 column 19"
  std::string describe() const;
};

}  // namespace fenmor::json
