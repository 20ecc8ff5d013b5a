#pragma once
// A batch of a columnar recording seen through the Arrow C data interface:
// one row per event, the columns named as the event schema names its members
// (`symbol`, `kind`, `ts`, each kind's numbers, `side`). Nothing is copied;
// the views live as long as the batch they were made from.
//
// Text columns may be plain, large or dictionary-encoded; `ts` is int64 and
// the numbers float64. A column that is absent reads as null in every row, so
// a file of one kind of event needs no columns of the others.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "crates/radar-core/src/event_schema.hpp"
#include "crates/radar-core/src/replay/arrow_abi.hpp"

namespace fenmor::replay {

// Bit `index` of an Arrow validity bitmap; no bitmap means no nulls.
inline bool is_valid(const std::uint8_t* bits, std::int64_t index) noexcept {
  return bits == nullptr || ((bits[index >> 3] >> (index & 7)) & 1) != 0;
}

// A fixed-width column (int64 or float64) of the batch's rows.
template <class T>
struct ValueColumn {
  const T* values = nullptr;  // null when the column is absent
  const std::uint8_t* validity = nullptr;
  std::int64_t offset = 0;  // of the batch's first row

  bool present() const noexcept { return values != nullptr; }
  bool has(std::size_t row) const noexcept {
    return values != nullptr && is_valid(validity, offset + static_cast<std::int64_t>(row));
  }
  T at(std::size_t row) const noexcept { return values[offset + static_cast<std::int64_t>(row)]; }
};

// Text by key: a dictionary column's rows point to entries (the keys), any
// other column's rows are their own keys. Readers judge each key once.
class TextColumn {
 public:
  bool present() const noexcept { return values_.data != nullptr; }
  // Entries of the dictionary, or rows.
  std::size_t keys() const noexcept { return keys_; }
  // The key of a row; nothing when the row is null (or its index is out of range).
  std::optional<std::size_t> key(std::size_t row) const noexcept;
  // The text of a key; nothing when it is null.
  std::optional<std::string_view> text(std::size_t key) const noexcept;

 private:
  friend struct ColumnsMaker;
  struct Strings {
    const char* data = nullptr;
    const std::int32_t* offsets32 = nullptr;
    const std::int64_t* offsets64 = nullptr;
    const std::uint8_t* validity = nullptr;
    std::int64_t offset = 0;
  };
  Strings values_;                         // the dictionary's, or the rows'
  const void* indices_ = nullptr;          // dictionary columns only
  const std::uint8_t* index_validity_ = nullptr;
  std::int64_t index_offset_ = 0;
  std::uint8_t index_width_ = 0;           // bytes; 0 for a plain column
  bool index_signed_ = true;
  std::size_t keys_ = 0;
};

struct EventColumns {
  std::size_t rows = 0;
  TextColumn symbol;
  TextColumn kind;
  TextColumn side;
  ValueColumn<std::int64_t> ts;
  // Indexed by event_schema::Name; only the names of float fields are set.
  std::array<ValueColumn<double>, event_schema::name_count> numbers{};

  // The columns of a record batch (a struct array) exported through the C
  // data interface; a message naming the column when one has a type a
  // recording cannot have.
  static std::expected<EventColumns, std::string> of(const ArrowSchema& schema,
                                                     const ArrowArray& array);
};

}  // namespace fenmor::replay
