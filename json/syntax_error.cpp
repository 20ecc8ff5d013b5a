#include "json/syntax_error.hpp"

#include <algorithm>

namespace fenmor::json {

std::string_view message(SyntaxCode code) noexcept {
  switch (code) {
    case SyntaxCode::EofWhileParsingList: return "EOF while parsing a list";
    case SyntaxCode::EofWhileParsingObject: return "EOF while parsing an object";
    case SyntaxCode::EofWhileParsingString: return "EOF while parsing a string";
    case SyntaxCode::EofWhileParsingValue: return "EOF while parsing a value";
    case SyntaxCode::ExpectedColon: return "expected `:`";
    case SyntaxCode::ExpectedListCommaOrEnd: return "expected `,` or `]`";
    case SyntaxCode::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case SyntaxCode::ExpectedSomeIdent: return "expected ident";
    case SyntaxCode::ExpectedSomeValue: return "expected value";
    case SyntaxCode::InvalidEscape: return "invalid escape";
    case SyntaxCode::InvalidNumber: return "invalid number";
    case SyntaxCode::NumberOutOfRange: return "number out of range";
    case SyntaxCode::ControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case SyntaxCode::KeyMustBeAString: return "key must be a string";
    case SyntaxCode::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
    case SyntaxCode::TrailingComma: return "trailing comma";
    case SyntaxCode::TrailingCharacters: return "trailing characters";
    case SyntaxCode::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case SyntaxCode::RecursionLimitExceeded: return "recursion limit exceeded";
  }
  return "unknown error";
}

Position locate(std::string_view text, std::size_t offset) noexcept {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  Position position;
  position.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_feed = before.rfind('\n');
  position.column = last_feed == std::string_view::npos ? offset : offset - last_feed - 1;
  return position;
}

LineIndex::LineIndex(std::string_view text) {
  for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
    feeds_.push_back(at);
  }
}

std::size_t LineIndex::line(std::size_t offset) const noexcept {
  const auto before = std::lower_bound(feeds_.begin(), feeds_.end(), offset);
  return 1 + static_cast<std::size_t>(before - feeds_.begin());
}

std::string position_suffix(Position position) {
  return " at line " + std::to_string(position.line) + " column " +
         std::to_string(position.column);
}

std::string SyntaxError::describe() const {
  return std::string(message(code)) + position_suffix(position);
}

}  // namespace fenmor::json
