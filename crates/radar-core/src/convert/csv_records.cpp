#include "crates/radar-core/src/convert/csv_records.hpp"

#include <cstring>

namespace fenmor::convert {

namespace {

const char* find(const char* begin, const char* end, char c) noexcept {
  return static_cast<const char*>(std::memchr(begin, c, static_cast<std::size_t>(end - begin)));
}

constexpr int end_of_line = -1;

enum class State : std::uint8_t { StartRecord, StartField, InField, InQuoted, QuoteInQuoted, EatCrnl };

}  // namespace

void CsvRecords::append(std::string_view bytes) {
  if (pos_ > 0 && pos_ * 2 >= buffer_.size()) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  buffer_.append(bytes);
}

CsvRecords::Step CsvRecords::next(std::size_t keep) {
  fields_.clear();
  const char* begin = buffer_.data() + pos_;
  const char* end = buffer_.data() + buffer_.size();
  if (begin == end) return finished_ ? Step::End : Step::NeedInput;
  // The fast path: one line without quotes or lone CRs.
  const char* newline = find(begin, end, '\n');
  if (newline != nullptr) {
    const char* stop = newline;
    if (stop > begin && stop[-1] == '\r') --stop;
    if (static_cast<std::size_t>(stop - begin) <= csv_field_limit && find(begin, stop, '"') == nullptr &&
        find(begin, stop, '\r') == nullptr) {
      std::size_t count = 0;
      if (stop != begin) {
        const char* field = begin;
        while (count < keep) {
          const char* comma = find(field, stop, ',');
          const char* field_end = comma == nullptr ? stop : comma;
          fields_.emplace_back(field, static_cast<std::size_t>(field_end - field));
          ++count;
          if (comma == nullptr) break;
          field = comma + 1;
        }
      }
      field_count_ = count;
      pos_ = static_cast<std::size_t>(newline + 1 - buffer_.data());
      ++line_;
      return Step::Record;
    }
  }
  return slow_next(keep);
}

CsvRecords::Step CsvRecords::slow_next(std::size_t keep) {
  // Unquoted text is never longer than the bytes it comes from: no reallocation
  // moves the fields already read.
  scratch_.clear();
  scratch_.reserve(buffer_.size() - pos_);
  const char* data = buffer_.data();
  const std::size_t size = buffer_.size();
  std::size_t at = pos_;
  std::uint64_t lines = 0;
  State state = State::StartRecord;
  std::size_t field_start = 0, field_chars = 0, count = 0;

  const auto save = [&] {
    if (count < keep) fields_.emplace_back(scratch_.data() + field_start, scratch_.size() - field_start);
    ++count;
    field_start = scratch_.size();
    field_chars = 0;
  };
  const auto add = [&](int c) {
    if ((c & 0xC0) != 0x80) {  // a character starts (not a UTF-8 continuation)
      if (field_chars >= csv_field_limit) {
        fault_ = "field larger than field limit (131072)";
        return false;
      }
      ++field_chars;
    }
    scratch_ += static_cast<char>(c);
    return true;
  };
  const auto ends_field = [&](int c) {
    save();
    state = c == end_of_line ? State::StartRecord : State::EatCrnl;
  };
  const auto process = [&](int c) {
    switch (state) {
      case State::StartRecord:
        if (c == end_of_line) return true;  // a blank line: a record of no fields
        if (c == '\n' || c == '\r') {
          state = State::EatCrnl;
          return true;
        }
        state = State::StartField;
        [[fallthrough]];
      case State::StartField:
        if (c == '\n' || c == '\r' || c == end_of_line) ends_field(c);
        else if (c == '"') state = State::InQuoted;
        else if (c == ',') save();
        else if (!add(c)) return false;
        else state = State::InField;
        return true;
      case State::InField:
        if (c == '\n' || c == '\r' || c == end_of_line) ends_field(c);
        else if (c == ',') {
          save();
          state = State::StartField;
        } else if (!add(c)) return false;
        return true;
      case State::InQuoted:
        if (c == end_of_line) return true;
        if (c == '"') state = State::QuoteInQuoted;
        else if (!add(c)) return false;
        return true;
      case State::QuoteInQuoted:
        if (c == '"') {
          if (!add(c)) return false;
          state = State::InQuoted;
        } else if (c == ',') {
          save();
          state = State::StartField;
        } else if (c == '\n' || c == '\r' || c == end_of_line) {
          ends_field(c);
        } else if (!add(c)) {
          return false;
        } else {
          state = State::InField;
        }
        return true;
      case State::EatCrnl:
        if (c == '\n' || c == '\r') return true;
        if (c == end_of_line) {
          state = State::StartRecord;
          return true;
        }
        fault_ = "new-line character seen in unquoted field";
        return false;
    }
    return true;
  };
  const auto need_input = [&] {
    fields_.clear();
    return Step::NeedInput;
  };

  while (true) {
    if (at == size) {
      if (!finished_) return need_input();
      // The file ends inside a quoted field: the record ends with it.
      save();
      break;
    }
    // One physical line: [at, text_end) and its line break up to line_end.
    std::size_t text_end = at;
    while (text_end < size && data[text_end] != '\n' && data[text_end] != '\r') ++text_end;
    std::size_t line_end = text_end;
    if (text_end == size) {
      if (!finished_) return need_input();
    } else if (data[text_end] == '\n') {
      line_end = text_end + 1;
    } else if (text_end + 1 < size) {
      line_end = text_end + (data[text_end + 1] == '\n' ? 2 : 1);
    } else {
      if (!finished_) return need_input();  // a CR whose LF may come next
      line_end = text_end + 1;
    }
    ++lines;
    bool good = true;
    for (std::size_t i = at; good && i < line_end; ++i) good = process(static_cast<unsigned char>(data[i]));
    if (good) good = process(end_of_line);
    at = line_end;
    if (!good) {
      fields_.clear();
      pos_ = at;
      line_ += lines;
      return Step::Fault;
    }
    if (state == State::StartRecord) break;
  }
  field_count_ = count < keep ? count : keep;
  pos_ = at;
  line_ += lines;
  return Step::Record;
}

}  // namespace fenmor::convert
