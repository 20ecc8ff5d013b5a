#include "crates/radar-core/src/convert/converter.hpp"

#include <limits>

#include "crates/radar-core/src/convert/line_writer.hpp"
#include "crates/radar-core/src/convert/utf8.hpp"

namespace fenmor::convert {

Converter::Converter(std::size_t depth, SymbolNamer namer) : depth_(depth), namer_(std::move(namer)) {}

std::size_t Converter::add_file(std::string path) {
  files_.push_back(std::make_unique<File>());
  files_.back()->path = std::move(path);
  return files_.size() - 1;
}

std::expected<void, NotUtf8> Converter::feed(std::size_t index, std::string_view bytes) {
  File& file = *files_[index];
  std::size_t skip = 0;
  if (!file.carry.empty()) {
    // Complete the character the last block began.
    const auto lead = static_cast<unsigned char>(file.carry[0]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    skip = std::min(length - file.carry.size(), bytes.size());
    std::string joined = file.carry + std::string(bytes.substr(0, skip));
    const Utf8Check check = check_utf8(joined);
    if (check.broken) return std::unexpected(NotUtf8{file.offset - file.carry.size(), lead});
    file.csv.append(bytes.substr(0, skip));
    file.carry = check.valid == joined.size() ? std::string() : joined;
  }
  const std::string_view rest = bytes.substr(skip);
  const Utf8Check check = check_utf8(rest);
  if (check.broken) {
    return std::unexpected(
        NotUtf8{file.offset + skip + check.valid, static_cast<unsigned char>(rest[check.valid])});
  }
  file.csv.append(rest.substr(0, check.valid));
  file.carry += rest.substr(check.valid);
  file.offset += bytes.size();
  return {};
}

std::expected<void, NotUtf8> Converter::finish(std::size_t index) {
  File& file = *files_[index];
  if (!file.carry.empty()) {
    return std::unexpected(NotUtf8{file.offset - file.carry.size(), static_cast<unsigned char>(file.carry[0])});
  }
  file.csv.finish();
  return {};
}

std::expected<bool, std::string> Converter::read_header(std::size_t index) {
  File& file = *files_[index];
  if (file.has_layout) return true;
  switch (file.csv.next(std::numeric_limits<std::size_t>::max())) {
    case CsvRecords::Step::NeedInput: return false;
    case CsvRecords::Step::End: return std::unexpected(file.path + ": empty file (no header)");
    case CsvRecords::Step::Fault:
      return std::unexpected(file.path + ": cannot read the header: " + std::string(file.csv.fault()));
    case CsvRecords::Step::Record: break;
  }
  auto layout = recognise(file.csv.fields(), file.path, depth_);
  if (!layout) return std::unexpected(std::move(layout.error()));
  file.layout = std::move(*layout);
  file.has_layout = true;
  return true;
}

bool Converter::pull(std::size_t index, std::vector<BadRow>& bad) {
  File& file = *files_[index];
  const Layout& layout = file.layout;
  file.has_head = false;
  RowFault fault;
  while (true) {
    switch (file.csv.next(layout.width)) {
      case CsvRecords::Step::NeedInput: return false;
      case CsvRecords::Step::End: return true;
      case CsvRecords::Step::Fault:
        ++bad_rows_;
        bad.push_back({index, file.csv.line(), {"not CSV: " + std::string(file.csv.fault()), "", false}});
        continue;
      case CsvRecords::Step::Record: break;
    }
    const std::size_t count = file.csv.field_count();
    if (count < layout.width) {
      if (count == 0) continue;  // a blank line
      ++bad_rows_;
      bad.push_back({index, file.csv.line(),
                     {"missing columns: " + std::to_string(count) + " fields, the header has " +
                          std::to_string(layout.header_width),
                      "", false}});
      continue;
    }
    if (read_row(file.csv.fields(), layout, file.columns, file.head, fault)) {
      file.has_head = true;
      return true;
    }
    ++bad_rows_;
    bad.push_back({index, file.csv.line(), std::move(fault)});
  }
}

const std::string* Converter::symbol_json(std::string_view raw) {
  if (const auto found = symbols_.find(raw); found != symbols_.end()) return &found->second;
  std::optional<std::string> text = namer_(raw);
  if (!text) return nullptr;
  return &symbols_.emplace(std::string(raw), std::move(*text)).first->second;
}

bool Converter::emit(const File& file, std::string& out) {
  const RowValues& row = file.head;
  ++rows_;
  switch (file.layout.kind) {
    case Kind::BookSnapshot:
    case Kind::Quotes: {
      if (!row.known[0] || !row.known[2]) return true;  // an empty side: no best price to report
      const std::string* symbol = symbol_json(row.symbol);
      if (symbol == nullptr) return false;
      append_orderbook_line(out, *symbol, row.ts, row.numbers[1], row.numbers[3], row.numbers[0],
                            row.numbers[2]);
      break;
    }
    case Kind::DerivativeTicker: {
      auto latest = derivatives_.find(row.symbol);
      if (latest == derivatives_.end()) latest = derivatives_.emplace(std::string(row.symbol), LatestDerivatives{}).first;
      const std::array<double, 3> values = {row.numbers[0], row.numbers[1], row.numbers[2]};
      const std::array<bool, 3> given = {row.known[0], row.known[1], row.known[2]};
      if (!update_derivatives(latest->second, values, given)) return true;
      const std::string* symbol = symbol_json(row.symbol);
      if (symbol == nullptr) return false;
      const auto& held = latest->second.values;
      append_derivatives_line(out, *symbol, row.ts, held[0], held[1], held[2]);
      break;
    }
    case Kind::Liquidations: {
      const std::string* symbol = symbol_json(row.symbol);
      if (symbol == nullptr) return false;
      append_liquidation_line(out, *symbol, row.ts, row.buy, row.numbers[0], row.numbers[1]);
      break;
    }
  }
  ++events_;
  return true;
}

void Converter::note_order(std::size_t index) {
  const File& file = *files_[index];
  if (latest_ts_ && file.head.ts < *latest_ts_) {
    if (rows_back_++ == 0) first_back_ = {index, file.csv.line()};
    return;
  }
  latest_ts_ = file.head.ts;
}

Converter::Step Converter::convert(std::size_t block_bytes, std::string& out, std::vector<BadRow>& bad) {
  // Every file's first row, in file order, before anything is merged.
  for (; primed_ < files_.size(); ++primed_) {
    if (!pull(primed_, bad)) {
      needed_ = primed_;
      return Step::NeedInput;
    }
    if (files_[primed_]->has_head) heap_.emplace(files_[primed_]->head.ts, primed_);
  }
  while (true) {
    if (refill_) {
      if (!pull(*refill_, bad)) {
        needed_ = *refill_;
        return Step::NeedInput;
      }
      if (files_[*refill_]->has_head) heap_.emplace(files_[*refill_]->head.ts, *refill_);
      refill_.reset();
    }
    if (out.size() >= block_bytes) return Step::BlockFull;
    if (heap_.empty()) return Step::Done;
    const std::size_t index = heap_.top().second;
    heap_.pop();
    note_order(index);
    if (!emit(*files_[index], out)) return Step::NamerFailed;
    refill_ = index;
  }
}

}  // namespace fenmor::convert
