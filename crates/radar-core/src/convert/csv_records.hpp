#pragma once
// The records of a CSV file that arrives in blocks, read as Python's csv
// reader reads a file opened with newline="" (the converter's reference):
// RFC 4180 quoting with doubled quotes, lines ending in LF, CRLF or a lone CR,
// quoted fields spanning lines, a quote after a closing quote taken as text,
// and a field longer than 131,072 characters refused, together with the rest
// of its physical line. Line numbers count physical lines, so a record
// spanning lines is numbered by its last one.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fenmor::convert {

inline constexpr std::size_t csv_field_limit = 131072;  // characters

class CsvRecords {
 public:
  enum class Step : std::uint8_t { Record, Fault, NeedInput, End };

  // More bytes of the file. The fields of the last record stay valid until
  // the next call of next(); append() is only called after NeedInput.
  void append(std::string_view bytes);
  void finish() noexcept { finished_ = true; }

  // The next record, keeping its first `keep` fields. NeedInput leaves the
  // reader where it was: call again after append() or finish().
  Step next(std::size_t keep);

  std::span<const std::string_view> fields() const noexcept { return fields_; }
  // The number of fields, exact when below `keep`, else `keep`.
  std::size_t field_count() const noexcept { return field_count_; }
  // The physical line the last record or fault ended on, from 1.
  std::uint64_t line() const noexcept { return line_; }
  std::string_view fault() const noexcept { return fault_; }
  // Bytes held but not yet read (a record waiting for its end).
  std::string_view unread() const noexcept { return std::string_view(buffer_).substr(pos_); }

 private:
  Step slow_next(std::size_t keep);

  std::string buffer_;
  std::size_t pos_ = 0;
  bool finished_ = false;
  std::vector<std::string_view> fields_;
  std::size_t field_count_ = 0;
  std::string scratch_;  // unquoted text of the fields of the slow path
  std::uint64_t line_ = 0;
  std::string_view fault_;
};

}  // namespace fenmor::convert
