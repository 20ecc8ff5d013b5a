#include "crates/radar-core/src/convert/layouts.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>

#include "crates/radar-core/src/convert/number_text.hpp"

namespace fenmor::convert {

namespace {

struct KindColumns {
  Kind kind;
  std::array<std::string_view, 4> required;  // besides symbol and timestamp
  std::array<std::string_view, 4> read;      // the columns, in Layout::columns order
};

// In the order they are tried. Books are listed by their first level; the
// other levels are read while the header has them, up to the depth asked.
constexpr std::array<KindColumns, 4> kinds = {{
    {Kind::DerivativeTicker,
     {"funding_rate", "open_interest", "mark_price", ""},
     {"open_interest", "funding_rate", "mark_price", ""}},
    {Kind::BookSnapshot,
     {"asks[0].price", "asks[0].amount", "bids[0].price", "bids[0].amount"},
     {"bids[0].price", "bids[0].amount", "asks[0].price", "asks[0].amount"}},
    {Kind::Quotes,
     {"bid_price", "bid_amount", "ask_price", "ask_amount"},
     {"bid_price", "bid_amount", "ask_price", "ask_amount"}},
    {Kind::Liquidations, {"side", "price", "amount", ""}, {"side", "amount", "price", ""}},
}};

std::string level_name(std::string_view side, std::size_t level, std::string_view field) {
  return std::string(side) + "[" + std::to_string(level) + "]." + std::string(field);
}

bool has_liquidations_in_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name.find("liquidations") != std::string::npos;
}

// The header joined by commas, cut to 200 characters.
std::string shown_header(std::span<const std::string_view> header) {
  std::string joined;
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (i > 0) joined += ',';
    joined += header[i];
  }
  std::size_t characters = 0, at = 0;
  for (; at < joined.size(); ++at) {
    if ((static_cast<unsigned char>(joined[at]) & 0xC0) != 0x80 && characters++ == 200) break;
  }
  joined.resize(at);
  return joined;
}

}  // namespace

std::expected<Layout, std::string> recognise(std::span<const std::string_view> header,
                                             std::string_view path, std::size_t depth) {
  // A name given twice is found at its last place, as a dict built from the header would.
  std::unordered_map<std::string_view, std::size_t> index;
  for (std::size_t i = 0; i < header.size(); ++i) index[strip_space(header[i])] = i;
  const auto has = [&](std::string_view name) { return name.empty() || index.contains(name); };

  for (const KindColumns& kind : kinds) {
    if (!has("symbol") || !has("timestamp") || !std::ranges::all_of(kind.required, has)) continue;
    if (kind.kind == Kind::Liquidations && !has_liquidations_in_name(path)) {
      return std::unexpected(
          std::string(path) +
          ": the header of a liquidations file is also that of a trades file; only a file with "
          "\"liquidations\" in its name is read as liquidations (trades are not a radar event)");
    }
    Layout layout{kind.kind, index["symbol"], index["timestamp"], {}, 0, header.size()};
    if (kind.kind == Kind::BookSnapshot) {
      for (std::size_t level = 0; level < depth; ++level) {
        std::array<std::string, 4> names;
        std::size_t k = 0;
        bool complete = true;
        for (const std::string_view side : {"bids", "asks"}) {
          for (const std::string_view field : {"price", "amount"}) {
            names[k] = level_name(side, level, field);
            complete = complete && index.contains(names[k]);
            ++k;
          }
        }
        if (!complete) break;
        for (const std::string& name : names) layout.columns.push_back(index[name]);
      }
    } else {
      for (const std::string_view name : kind.read) {
        if (!name.empty()) layout.columns.push_back(index[name]);
      }
    }
    layout.width = std::max(layout.symbol, layout.timestamp) + 1;
    for (const std::size_t column : layout.columns) layout.width = std::max(layout.width, column + 1);
    return layout;
  }
  return std::unexpected(std::string(path) +
                         ": not a derivative_ticker, liquidations, book_snapshot or quotes file "
                         "(header: " + shown_header(header) + ")");
}

}  // namespace fenmor::convert
