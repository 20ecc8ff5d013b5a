#pragma once
// Rows of a columnar recording read as the radar reads the same events sent
// as recording lines: a row is the line whose event has a member for every
// non-null column (`kind`, `ts`, the numbers, `side`) and whose symbol is the
// `symbol` column. A row that is an event as it stands becomes one straight
// from its values; any other is written as that line and judged by the line
// reader, so a refused row gets exactly the message its line would. JSON has
// no NaN or infinity: such a number is refused where its line would hold it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/protocol/working_buffers.hpp"
#include "crates/radar-core/src/replay/event_columns.hpp"
#include "crates/radar-core/src/replay/read_line.hpp"

namespace fenmor::replay {

class RowReader {
 public:
  // Judges every key of the text columns once; `columns` must outlive the reader.
  explicit RowReader(const EventColumns& columns);

  std::size_t rows() const noexcept { return columns_.rows; }

  // The row read into `line` (reusing its storage), numbered `number`.
  void read(std::size_t row, std::uint64_t number, WorkingBuffers& buffers, ReadLine& line) const;

  // The event of a row that is one as it stands; nothing for any other row.
  std::optional<Event> event(std::size_t row) const noexcept;
  // The symbol of a row whose event() is one, and its routing hash.
  std::string_view symbol(std::size_t row) const noexcept { return symbols_[*columns_.symbol.key(row)].text; }
  std::uint64_t hash(std::size_t row) const noexcept { return symbols_[*columns_.symbol.key(row)].hash; }
  // The key of a row's symbol (equal keys, equal symbols), for callers that
  // keep something per symbol.
  std::size_t symbol_key(std::size_t row) const noexcept { return *columns_.symbol.key(row); }
  // The keys of the symbol column, and the text and hash of those that
  // symbol_key() can give.
  std::size_t symbol_keys() const noexcept { return symbols_.size(); }
  std::string_view key_symbol(std::size_t key) const noexcept { return symbols_[key].text; }
  std::uint64_t key_hash(std::size_t key) const noexcept { return symbols_[key].hash; }

  // The recording line a row stands for (without its line break).
  std::string line_text(std::size_t row) const;

 private:
  struct Symbol {
    std::string_view text;
    std::uint64_t hash = 0;
    bool usable = false;  // not null, and UTF-8
  };
  static constexpr std::int8_t none = -1;

  const EventColumns& columns_;
  std::vector<Symbol> symbols_;     // by key of the symbol column
  std::vector<std::int8_t> kinds_;  // by key of the kind column: a VariantId, or none
  std::vector<std::int8_t> sides_;  // by key of the side column: a Side, or none
};

}  // namespace fenmor::replay
