#include "crates/radar-core/src/replay/event_columns.hpp"

#include <cstring>
#include <utility>

namespace fenmor::replay {

std::optional<std::size_t> TextColumn::key(std::size_t row) const noexcept {
  if (index_width_ == 0) {
    if (!present()) return std::nullopt;
    return row;
  }
  const std::int64_t at = index_offset_ + static_cast<std::int64_t>(row);
  if (!is_valid(index_validity_, at)) return std::nullopt;
  std::int64_t index = 0;
  const auto* base = static_cast<const unsigned char*>(indices_) + at * index_width_;
  switch (index_width_) {
    case 1: {
      std::int8_t v;
      std::memcpy(&v, base, 1);
      index = index_signed_ ? std::int64_t{v} : std::int64_t{static_cast<std::uint8_t>(v)};
      break;
    }
    case 2: {
      std::int16_t v;
      std::memcpy(&v, base, 2);
      index = index_signed_ ? std::int64_t{v} : std::int64_t{static_cast<std::uint16_t>(v)};
      break;
    }
    case 4: {
      std::int32_t v;
      std::memcpy(&v, base, 4);
      index = index_signed_ ? std::int64_t{v} : std::int64_t{static_cast<std::uint32_t>(v)};
      break;
    }
    default: {
      std::memcpy(&index, base, 8);
      break;
    }
  }
  // An index beyond the dictionary is damage, not a symbol: read as null.
  if (index < 0 || static_cast<std::uint64_t>(index) >= keys_) return std::nullopt;
  return static_cast<std::size_t>(index);
}

std::optional<std::string_view> TextColumn::text(std::size_t key) const noexcept {
  const std::int64_t at = values_.offset + static_cast<std::int64_t>(key);
  if (!is_valid(values_.validity, at)) return std::nullopt;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  if (values_.offsets32 != nullptr) {
    begin = values_.offsets32[at];
    end = values_.offsets32[at + 1];
  } else {
    begin = values_.offsets64[at];
    end = values_.offsets64[at + 1];
  }
  if (end < begin) return std::nullopt;
  return std::string_view(values_.data + begin, static_cast<std::size_t>(end - begin));
}

struct ColumnsMaker {
  using Failure = std::unexpected<std::string>;

  static Failure wrong_type(std::string_view column, std::string_view format,
                            std::string_view expected) {
    std::string message = "column `";
    message.append(column).append("` has Arrow format `").append(format);
    message.append("`, expected ").append(expected);
    return Failure(std::move(message));
  }

  static const void* buffer(const ArrowArray& array, std::int64_t index) {
    return index < array.n_buffers ? array.buffers[index] : nullptr;
  }

  // Plain strings: [validity, offsets, data].
  static bool strings(std::string_view format, const ArrowArray& array, std::int64_t offset,
                      TextColumn::Strings& out) {
    const bool large = format == "U";
    if (!large && format != "u") return false;
    if (array.n_buffers < 3) return false;
    out.validity = static_cast<const std::uint8_t*>(buffer(array, 0));
    if (array.null_count == 0) out.validity = nullptr;
    if (large) {
      out.offsets64 = static_cast<const std::int64_t*>(buffer(array, 1));
    } else {
      out.offsets32 = static_cast<const std::int32_t*>(buffer(array, 1));
    }
    // An all-empty column may come without a data buffer.
    static constexpr char nothing = 0;
    out.data = static_cast<const char*>(buffer(array, 2));
    if (out.data == nullptr) out.data = &nothing;
    out.offset = array.offset + offset;
    return (out.offsets32 != nullptr || out.offsets64 != nullptr);
  }

  static std::expected<TextColumn, std::string> text(std::string_view name,
                                                     const ArrowSchema& schema,
                                                     const ArrowArray& array,
                                                     std::int64_t offset, std::size_t rows) {
    constexpr std::string_view expected = "a string or a dictionary of strings";
    const std::string_view format = schema.format;
    TextColumn column;
    if (schema.dictionary == nullptr) {
      if (!strings(format, array, offset, column.values_)) return wrong_type(name, format, expected);
      column.keys_ = rows;  // the batch's rows, wherever in the column they start
      return column;
    }
    if (array.dictionary == nullptr) return wrong_type(name, format, expected);
    const ArrowArray& dictionary = *array.dictionary;
    if (!strings(schema.dictionary->format, dictionary, 0, column.values_)) {
      return wrong_type(name, schema.dictionary->format, expected);
    }
    column.keys_ = static_cast<std::size_t>(dictionary.length);
    if (format.size() != 1) return wrong_type(name, format, expected);
    switch (format[0]) {
      case 'c': case 'C': column.index_width_ = 1; break;
      case 's': case 'S': column.index_width_ = 2; break;
      case 'i': case 'I': column.index_width_ = 4; break;
      case 'l': case 'L': column.index_width_ = 8; break;
      default: return wrong_type(name, format, expected);
    }
    column.index_signed_ = format[0] >= 'a';
    column.indices_ = buffer(array, 1);
    column.index_validity_ = array.null_count == 0 ? nullptr
                                                   : static_cast<const std::uint8_t*>(buffer(array, 0));
    column.index_offset_ = array.offset + offset;
    if (column.indices_ == nullptr && array.length > 0) return wrong_type(name, format, expected);
    return column;
  }

  template <class T>
  static std::expected<ValueColumn<T>, std::string> values(std::string_view name,
                                                           const ArrowSchema& schema,
                                                           const ArrowArray& array,
                                                           std::int64_t offset,
                                                           std::string_view format_wanted,
                                                           std::string_view expected) {
    if (schema.dictionary != nullptr || std::string_view(schema.format) != format_wanted) {
      return wrong_type(name, schema.format, expected);
    }
    ValueColumn<T> column;
    column.validity = array.null_count == 0 ? nullptr
                                            : static_cast<const std::uint8_t*>(buffer(array, 0));
    column.values = static_cast<const T*>(buffer(array, 1));
    column.offset = array.offset + offset;
    if (column.values == nullptr) {
      // A column of no rows may have no buffer; a present column still counts as present.
      if (array.length > 0) return wrong_type(name, schema.format, expected);
      static constexpr T none{};
      column.values = &none;
    }
    return column;
  }
};

std::expected<EventColumns, std::string> EventColumns::of(const ArrowSchema& schema,
                                                          const ArrowArray& array) {
  if (std::string_view(schema.format) != "+s" || schema.n_children != array.n_children) {
    return std::unexpected(std::string("a batch of events must be a record batch (an Arrow struct array), got format `") +
                           schema.format + "`");
  }
  EventColumns columns;
  columns.rows = static_cast<std::size_t>(array.length);
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema& field = *schema.children[i];
    const ArrowArray& child = *array.children[i];
    const std::string_view name = field.name == nullptr ? "" : field.name;
    using event_schema::names;
    if (name == "symbol" || name == names[event_schema::Kind] || name == names[event_schema::SideName]) {
      auto column = ColumnsMaker::text(name, field, child, array.offset, columns.rows);
      if (!column) return std::unexpected(std::move(column.error()));
      (name == "symbol" ? columns.symbol : name == "kind" ? columns.kind : columns.side) = *column;
      continue;
    }
    if (name == names[event_schema::Ts]) {
      auto column = ColumnsMaker::values<std::int64_t>(name, field, child, array.offset, "l", "int64");
      if (!column) return std::unexpected(std::move(column.error()));
      columns.ts = *column;
      continue;
    }
    for (std::size_t n = 0; n < event_schema::name_count; ++n) {
      if (names[n] != name) continue;
      auto column = ColumnsMaker::values<double>(name, field, child, array.offset, "g", "float64");
      if (!column) return std::unexpected(std::move(column.error()));
      columns.numbers[n] = *column;
    }
    // Any other column is not the radar's: left alone.
  }
  return columns;
}

}  // namespace fenmor::replay
