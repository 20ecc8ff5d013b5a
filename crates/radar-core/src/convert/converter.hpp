#pragma once
// Vendor CSV files into one time-ordered recording. The files arrive in
// blocks (the caller reads and decompresses them); their rows are merged by
// timestamp, a k-way merge holding one pending row per file, ties in the
// order the files were added. Each file is taken in its own row order. The
// merged rows become events in that order, which matters for derivatives:
// their state must see one symbol's rows in time order across files.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crates/radar-core/src/convert/csv_records.hpp"
#include "crates/radar-core/src/convert/derivatives_state.hpp"
#include "crates/radar-core/src/convert/layouts.hpp"
#include "crates/radar-core/src/convert/row_values.hpp"

namespace fenmor::convert {

struct BadRow {
  std::size_t file = 0;
  std::uint64_t line = 0;
  RowFault fault;
};

// Bytes that are not UTF-8, at `offset` of the file.
struct NotUtf8 {
  std::uint64_t offset = 0;
  unsigned char byte = 0;
};

// The JSON text written for a symbol as the source names it, asked once per
// symbol when its first event is written; nullopt stops the conversion.
using SymbolNamer = std::function<std::optional<std::string>(std::string_view raw)>;

class Converter {
 public:
  enum class Step : std::uint8_t { BlockFull, NeedInput, Done, NamerFailed };

  Converter(std::size_t depth, SymbolNamer namer);

  std::size_t add_file(std::string path);
  std::expected<void, NotUtf8> feed(std::size_t file, std::string_view bytes);
  std::expected<void, NotUtf8> finish(std::size_t file);

  // The file's layout from its header: false while more bytes are needed;
  // the message naming the file when it is no kind the converter reads.
  std::expected<bool, std::string> read_header(std::size_t file);
  const Layout& layout(std::size_t file) const { return files_[file]->layout; }
  std::size_t file_count() const noexcept { return files_.size(); }

  // Appends recording lines to `out` until it holds `block_bytes` or more
  // (BlockFull), a file must be fed (NeedInput, see needed()), or all is
  // written (Done). Bad rows are appended to `bad` as they are met.
  Step convert(std::size_t block_bytes, std::string& out, std::vector<BadRow>& bad);
  std::size_t needed() const noexcept { return needed_; }

  std::uint64_t rows() const noexcept { return rows_; }
  std::uint64_t events() const noexcept { return events_; }
  std::uint64_t bad_rows() const noexcept { return bad_rows_; }
  // Rows merged with a timestamp below one merged before them: a file whose
  // rows are not in time order (the merge keeps each file's own order).
  std::uint64_t rows_back() const noexcept { return rows_back_; }
  // The first of them: (file, line); meaningful once rows_back() > 0.
  std::pair<std::size_t, std::uint64_t> first_back() const noexcept { return first_back_; }

 private:
  struct File {
    std::string path;
    CsvRecords csv;
    Layout layout;
    bool has_layout = false;
    std::string carry;  // the start of a character split between blocks
    std::uint64_t offset = 0;
    std::vector<std::string_view> columns;
    RowValues head;
    bool has_head = false;
  };
  using Pending = std::pair<std::int64_t, std::size_t>;  // (ts, file)

  bool pull(std::size_t file, std::vector<BadRow>& bad);
  bool emit(const File& file, std::string& out);
  void note_order(std::size_t index);
  const std::string* symbol_json(std::string_view raw);

  std::size_t depth_;
  SymbolNamer namer_;
  std::vector<std::unique_ptr<File>> files_;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> heap_;
  std::size_t primed_ = 0;
  std::optional<std::size_t> refill_;
  std::size_t needed_ = 0;
  DerivativesBySymbol derivatives_;
  std::unordered_map<std::string, std::string, StringHash, std::equal_to<>> symbols_;
  std::uint64_t rows_ = 0, events_ = 0, bad_rows_ = 0;
  std::optional<std::int64_t> latest_ts_;
  std::uint64_t rows_back_ = 0;
  std::pair<std::size_t, std::uint64_t> first_back_{0, 0};
};

}  // namespace fenmor::convert
