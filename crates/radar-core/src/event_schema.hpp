#pragma once
// The event schema, once: the tag of each variant, its fields (name, type,
// array position) and the texts of a wrong array length. Both readers of
// events work from it: the document decoders (event_decode.cpp) and the fast
// text route (event_text.cpp).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "crates/radar-core/src/event.hpp"

namespace fenmor::event_schema {

// Every member name an event may use: the tag and the fields of all three
// variants. The fast route keeps one value per name.
enum Name : std::uint8_t {
  Kind, Ts, OpenInterest, FundingRate, MarkPrice, BidVolume, AskVolume, BestBid, BestAsk,
  SideName, Qty, Price, name_count,
};

inline constexpr std::array<std::string_view, name_count> names = {
    "kind",       "ts",       "open_interest", "funding_rate", "mark_price", "bid_volume",
    "ask_volume", "best_bid", "best_ask",      "side",         "qty",        "price"};

// The member that holds the tag in the object form.
inline constexpr std::string_view tag_member = names[Kind];

enum class FieldType : std::uint8_t { Ts, Float, Side };

// One field. Float fields are numbered in declaration order (`number`), which
// is how build() knows which is which.
struct Field {
  Name name;
  FieldType type;
  std::uint8_t number = 0;
};

constexpr std::string_view name_of(const Field& field) noexcept { return names[field.name]; }

enum class VariantId : std::uint8_t { Derivatives, Orderbook, Liquidation };

struct Variant {
  VariantId id;
  std::string_view tag;
  std::span<const Field> fields;  // declaration order: the array form's positions
  std::string_view too_few;       // expected text when array elements run out
  std::string_view too_many;      // expected text when array elements remain
};

inline constexpr std::array derivatives_fields = {
    Field{Ts, FieldType::Ts},
    Field{OpenInterest, FieldType::Float, 0},
    Field{FundingRate, FieldType::Float, 1},
    Field{MarkPrice, FieldType::Float, 2},
};
inline constexpr std::array orderbook_fields = {
    Field{Ts, FieldType::Ts},
    Field{BidVolume, FieldType::Float, 0},
    Field{AskVolume, FieldType::Float, 1},
    Field{BestBid, FieldType::Float, 2},
    Field{BestAsk, FieldType::Float, 3},
};
inline constexpr std::array liquidation_fields = {
    Field{Ts, FieldType::Ts},
    Field{SideName, FieldType::Side},
    Field{Qty, FieldType::Float, 0},
    Field{Price, FieldType::Float, 1},
};

inline constexpr std::array<Variant, 3> variants = {{
    {VariantId::Derivatives, "derivatives", derivatives_fields,
     "struct variant Event::Derivatives with 4 elements", "4 elements in sequence"},
    {VariantId::Orderbook, "orderbook", orderbook_fields,
     "struct variant Event::Orderbook with 5 elements", "5 elements in sequence"},
    {VariantId::Liquidation, "liquidation", liquidation_fields,
     "struct variant Event::Liquidation with 4 elements", "4 elements in sequence"},
}};

inline constexpr std::array<std::string_view, 3> tag_names = {
    variants[0].tag, variants[1].tag, variants[2].tag};
inline constexpr std::array<std::string_view, 2> side_names = {"buy", "sell"};

constexpr const Variant& variant(VariantId id) noexcept {
  return variants[static_cast<std::size_t>(id)];
}

// Field values gathered while decoding, before the event is built.
struct FieldValues {
  std::int64_t ts = 0;
  Side side = Side::Buy;
  std::array<double, 4> floats{};
};

constexpr Event build(VariantId id, const FieldValues& v) noexcept {
  switch (id) {
    case VariantId::Derivatives:
      return Derivatives{v.ts, v.floats[0], v.floats[1], v.floats[2]};
    case VariantId::Orderbook:
      return Orderbook{v.ts, v.floats[0], v.floats[1], v.floats[2], v.floats[3]};
    case VariantId::Liquidation:
      break;
  }
  return Liquidation{v.ts, v.side, v.floats[0], v.floats[1]};
}

// The table agrees with itself: variants in VariantId order, every float of
// the event struct numbered once, and each variant's field count in its texts.
constexpr bool consistent() noexcept {
  for (std::size_t i = 0; i < variants.size(); ++i) {
    const Variant& v = variants[i];
    if (static_cast<std::size_t>(v.id) != i) return false;
    unsigned floats = 0;
    for (const Field& field : v.fields) {
      if (field.type == FieldType::Float) {
        if (field.number != floats) return false;
        ++floats;
      }
    }
    const char count = static_cast<char>('0' + v.fields.size());
    if (v.too_many.front() != count || v.too_few.find(count) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}
static_assert(consistent());
static_assert(sizeof(Derivatives) == 4 * 8 && sizeof(Orderbook) == 5 * 8 && sizeof(Liquidation) == 4 * 8,
              "a new field needs its row in the schema table");

}  // namespace fenmor::event_schema
