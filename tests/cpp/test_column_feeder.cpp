// Columnar rows against JSON lines: the same events, made into Arrow columns
// and into recording lines written here, through a column feed and through
// the line feeder, give the same checkpoints, replies and bad rows. Random
// events with extreme values and refused rows, every checkpoint rule, and
// both forms of text column.

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/protocol/replies.hpp"
#include "crates/radar-core/src/replay/column_feeder.hpp"
#include "crates/radar-core/src/replay/line_columns.hpp"
#include "crates/radar-core/src/replay/row_lines.hpp"
#include "crates/radar-core/src/spec_decode.hpp"
#include "tests/cpp/replay_oracle.hpp"

namespace fenmor {
namespace {

const std::vector<std::string> specs = {
    R"({"signals":[{"kind":"funding_flip","params":[0.0001]},{"kind":"book_imbalance","params":[0.2]}],"threshold":0.1})",
    R"({"signals":[{"kind":"oi_delta","params":[2,0.01]},{"kind":"liq_cluster","params":[2,1]}],"threshold":0.0,"limit":3})",
};

std::vector<RadarHandle> radars() {
  std::vector<RadarHandle> out;
  for (const std::string& text : specs) out.emplace_back(*CompiledSpec::compile(*decode_spec_text(text)));
  return out;
}

// One row; nullopt is a null cell. Numbers by schema name.
struct Row {
  std::optional<std::string> symbol;
  std::optional<std::string> kind;
  std::optional<std::int64_t> ts;
  std::array<std::optional<double>, event_schema::name_count> numbers{};
  std::optional<std::string> side;
};

void no_release_schema(ArrowSchema* schema) { schema->release = nullptr; }
void no_release_array(ArrowArray* array) { array->release = nullptr; }

// The rows as an Arrow record batch, owning its buffers. Text columns are
// plain strings, or dictionaries when `dictionary`; `offset` rows of padding
// come first and the struct's offset skips them.
class Batch {
 public:
  Batch(const std::vector<Row>& rows, bool dictionary, std::size_t offset) {
    std::vector<Row> padded(offset, Row{"PAD", "derivatives", 1, {}, "buy"});
    padded.insert(padded.end(), rows.begin(), rows.end());
    const std::size_t n = padded.size();
    add_text("symbol", padded, [](const Row& r) { return r.symbol; }, dictionary);
    add_text("kind", padded, [](const Row& r) { return r.kind; }, false);
    add_values<std::int64_t>("ts", "l", padded, [](const Row& r) { return r.ts; });
    for (std::size_t name = 0; name < event_schema::name_count; ++name) {
      if (name == event_schema::Kind || name == event_schema::Ts || name == event_schema::SideName) continue;
      add_values<double>(std::string(event_schema::names[name]), "g", padded,
                         [name](const Row& r) { return r.numbers[name]; });
    }
    add_text("side", padded, [](const Row& r) { return r.side; }, !dictionary);
    for (auto& node : nodes_) {
      schema_children_.push_back(&node.schema);
      array_children_.push_back(&node.array);
    }
    schema_ = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(nodes_.size()),
                          schema_children_.data(), nullptr, no_release_schema, nullptr};
    static const void* no_buffers[1] = {nullptr};
    array_ = ArrowArray{static_cast<std::int64_t>(n - offset), 0, static_cast<std::int64_t>(offset), 1,
                        static_cast<std::int64_t>(nodes_.size()), no_buffers, array_children_.data(),
                        nullptr, no_release_array, nullptr};
  }
  Batch(const Batch&) = delete;

  replay::EventColumns columns() const { return *replay::EventColumns::of(schema_, array_); }

 private:
  struct Node {
    std::string name;
    std::string format;
    std::vector<std::uint8_t> validity;
    std::vector<std::int32_t> offsets;
    std::string data;
    std::vector<std::int64_t> ints;
    std::vector<double> doubles;
    std::vector<std::int32_t> indices;
    std::vector<const void*> buffers;
    ArrowSchema schema{};
    ArrowArray array{};
    std::unique_ptr<Node> dictionary;
  };

  static void set_valid(Node& node, std::size_t i, bool valid) {
    if (node.validity.size() <= i / 8) node.validity.resize(i / 8 + 1, 0);
    if (valid) node.validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }

  void finish(Node& node, std::size_t n, std::int64_t nulls) {
    node.schema = ArrowSchema{node.format.c_str(), node.name.c_str(), nullptr, 2, 0, nullptr,
                              node.dictionary ? &node.dictionary->schema : nullptr, no_release_schema, nullptr};
    node.array = ArrowArray{static_cast<std::int64_t>(n), nulls, 0,
                            static_cast<std::int64_t>(node.buffers.size()), 0, node.buffers.data(), nullptr,
                            node.dictionary ? &node.dictionary->array : nullptr, no_release_array, nullptr};
  }

  template <class Get>
  void add_text(const std::string& name, const std::vector<Row>& rows, Get get, bool dictionary) {
    Node& node = nodes_.emplace_back();
    node.name = name;
    std::int64_t nulls = 0;
    Node* strings = &node;
    if (dictionary) {
      node.dictionary = std::make_unique<Node>();
      strings = node.dictionary.get();
      strings->name = name;
    }
    strings->format = "u";
    strings->offsets.push_back(0);
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::optional<std::string> text = get(rows[i]);
      set_valid(node, i, text.has_value());
      if (!text) ++nulls;
      if (dictionary) {
        std::size_t at = 0;
        while (at < seen.size() && (!text || seen[at] != *text)) ++at;
        if (text && at == seen.size()) {
          seen.push_back(*text);
          strings->data += *text;
          strings->offsets.push_back(static_cast<std::int32_t>(strings->data.size()));
        }
        node.indices.push_back(text ? static_cast<std::int32_t>(at) : 0);
      } else {
        if (text) node.data += *text;
        node.offsets.push_back(static_cast<std::int32_t>(node.data.size()));
      }
    }
    if (dictionary) {
      node.format = "i";
      node.buffers = {node.validity.data(), node.indices.data()};
      strings->buffers = {nullptr, strings->offsets.data(), strings->data.data()};
      finish(*strings, seen.size(), 0);
    } else {
      node.buffers = {node.validity.data(), node.offsets.data(), node.data.data()};
    }
    finish(node, rows.size(), nulls);
  }

  template <class T, class Get>
  void add_values(const std::string& name, const char* format, const std::vector<Row>& rows, Get get) {
    Node& node = nodes_.emplace_back();
    node.name = name;
    node.format = format;
    std::int64_t nulls = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::optional<T> value = get(rows[i]);
      set_valid(node, i, value.has_value());
      if (!value) ++nulls;
      if constexpr (std::is_same_v<T, double>) {
        node.doubles.push_back(value.value_or(-1.0));
      } else {
        node.ints.push_back(value.value_or(-1));
      }
    }
    const void* values = std::is_same_v<T, double> ? static_cast<const void*>(node.doubles.data())
                                                    : static_cast<const void*>(node.ints.data());
    node.buffers = {node.validity.data(), values};
    finish(node, rows.size(), nulls);
  }

  std::deque<Node> nodes_;
  std::vector<ArrowSchema*> schema_children_;
  std::vector<ArrowArray*> array_children_;
  ArrowSchema schema_{};
  ArrowArray array_{};
};

// The line a row stands for, written independently of the engine's writers:
// a member per non-null cell, numbers in shortest round-trip digits.
std::string line_of(const Row& row) {
  std::string out = "{";
  if (row.symbol) {
    out += "\"symbol\":";
    append_json_string(out, *row.symbol);
    out += ",";
  }
  out += "\"event\":{";
  std::string members;
  const auto add = [&](std::string_view name, const std::string& value) {
    if (!members.empty()) members += ",";
    members += "\"" + std::string(name) + "\":" + value;
  };
  if (row.kind) {
    std::string quoted;
    append_json_string(quoted, *row.kind);
    add("kind", quoted);
  }
  if (row.ts) add("ts", std::to_string(*row.ts));
  for (std::size_t name = 0; name < event_schema::name_count; ++name) {
    if (!row.numbers[name]) continue;
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, *row.numbers[name]).ptr;
    std::string number(text, end);
    if (number.find_first_of(".en") == std::string::npos) number += ".0";
    add(event_schema::names[name], number);
  }
  if (row.side) {
    std::string quoted;
    append_json_string(quoted, *row.side);
    add("side", quoted);
  }
  return out + members + "}}";
}

double extreme(std::mt19937_64& random) {
  static const double values[] = {0.0, -0.0, 1.0, -1.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                                  1.7976931348623157e308, -1.7976931348623157e308, 0.1, 1e-7, 1e21,
                                  123456.789, 0.0001, -0.0002, 3.0e16, 9007199254740993.0};
  return values[random() % std::size(values)];
}

Row random_row(std::mt19937_64& random, bool refusals) {
  static const char* symbols[] = {"BTCUSDT", "ETHUSDT", "é€😀", "A\"B\\C", "\x1b[2J", ""};
  static const char* kinds[] = {"derivatives", "orderbook", "liquidation"};
  Row row;
  row.symbol = symbols[random() % std::size(symbols)];
  const std::size_t kind = random() % 3;
  row.kind = kinds[kind];
  const std::int64_t extremes[] = {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                                   -1, 0};
  row.ts = random() % 20 == 0 ? extremes[random() % 4] : static_cast<std::int64_t>(random() % 5000);
  const auto number = [&] {
    return random() % 4 == 0 ? extreme(random) : static_cast<double>(random() % 1000) / 8.0 - 20.0;
  };
  for (const auto& field : event_schema::variants[kind].fields) {
    if (field.type == event_schema::FieldType::Float) row.numbers[field.name] = number();
    if (field.type == event_schema::FieldType::Side) row.side = random() % 2 ? "buy" : "sell";
  }
  // Cells of other kinds are ignored, as members a kind has no field for.
  if (random() % 5 == 0) row.numbers[event_schema::Qty] = number();
  if (random() % 5 == 0) row.side = "sideways";
  if (refusals && random() % 6 == 0) {
    switch (random() % 7) {
      case 0: row.symbol.reset(); break;
      case 1: row.kind.reset(); break;
      case 2: row.kind = "trade"; break;
      case 3: row.ts.reset(); break;
      case 4: row.side = random() % 2 ? "BUY" : "sideways"; break;
      case 5: {
        for (auto& value : row.numbers) {
          if (value) {
            value.reset();
            break;
          }
        }
        break;
      }
      default: row.numbers[event_schema::Price].reset(); row.side.reset(); break;
    }
  }
  return row;
}

std::vector<oracle::Item> flat(const std::vector<replay::FeederItem>& items) {
  std::vector<oracle::Item> out;
  for (const auto& item : items) out.push_back(oracle::flat(item));
  return out;
}

struct Rule {
  std::optional<std::uint64_t> every_events;
  std::optional<std::uint64_t> every_ts;
  bool strict;
};

TEST(ColumnFeeder, RowsFeedAsTheirLinesDo) {
  const std::vector<Rule> rules = {{std::nullopt, std::nullopt, false}, {7, std::nullopt, false},
                                   {std::nullopt, 100, false}, {3, 250, false}, {std::nullopt, 50, true}};
  std::mt19937_64 random(27);
  for (int round = 0; round < 40; ++round) {
    std::vector<Row> rows;
    const std::size_t count = 1 + random() % 3000;
    for (std::size_t i = 0; i < count; ++i) rows.push_back(random_row(random, round % 2 == 1));
    std::string text;
    for (const Row& row : rows) text += line_of(row) + "\n";
    const Batch batch(rows, round % 4 < 2, static_cast<std::size_t>(round % 3));
    for (const Rule& rule : rules) {
      const replay::CheckpointPolicy policy{rule.every_events, rule.every_ts};
      replay::LineFeeder by_lines(radars(), policy, rule.strict);
      std::vector<replay::FeederItem> expected;
      by_lines.feed(text, expected);
      by_lines.finish(true, expected);

      replay::LineFeeder by_columns(radars(), policy, rule.strict);
      std::vector<replay::FeederItem> got;
      replay::feed_columns(by_columns, batch.columns(), got);
      by_columns.finish(true, got);
      ASSERT_EQ(flat(got), flat(expected)) << "round " << round;
      EXPECT_EQ(by_columns.events(), by_lines.events());
      EXPECT_EQ(by_columns.bad_lines(), by_lines.bad_lines());
    }
  }
}

// Many symbols and batches long enough that the events between checkpoints
// are applied on the pool, grouped by symbol: the items, the counts and the
// symbols' order are those of the lines fed one by one, across batches of
// both text forms, with refused rows and ts going back for some symbols.
TEST(ColumnFeeder, StretchesAppliedOnThePoolFeedAsTheLinesDo) {
  std::vector<std::string> names;
  for (int i = 0; i < 700; ++i) names.push_back("S" + std::to_string(i * 7919 % 1000));
  const std::vector<Rule> rules = {{std::nullopt, std::nullopt, false}, {5000, std::nullopt, false},
                                   {std::nullopt, 3000, false}, {2500, 4000, true}, {1, std::nullopt, false}};
  std::mt19937_64 random(31);
  for (int round = 0; round < 6; ++round) {
    const bool refusals = round % 2 == 1;
    // Round 0, whose every event is also a checkpoint, is one short batch.
    std::vector<std::vector<Row>> batches(round == 0 ? 1 : 1 + random() % 4);
    std::string text;
    std::int64_t clock = 0;
    for (auto& rows : batches) {
      const std::size_t count = round == 0 ? 2100 : 3000 + random() % 6000;
      for (std::size_t i = 0; i < count; ++i) {
        Row row = random_row(random, refusals);
        if (row.symbol && random() % 50 != 0) row.symbol = names[random() % names.size()];
        if (row.ts && random() % 30 != 0) row.ts = clock += static_cast<std::int64_t>(random() % 3);
        rows.push_back(row);
        text += line_of(row) + "\n";
      }
    }
    for (const Rule& rule : rules) {
      if (rule.every_events == std::uint64_t{1} && round > 0) continue;
      const replay::CheckpointPolicy policy{rule.every_events, rule.every_ts};
      replay::LineFeeder by_lines(radars(), policy, rule.strict);
      std::vector<replay::FeederItem> expected;
      by_lines.feed(text, expected);
      while (by_lines.pending()) by_lines.resume(expected);
      by_lines.finish(true, expected);

      replay::LineFeeder by_columns(radars(), policy, rule.strict);
      ASSERT_TRUE(by_columns.groupable());
      std::vector<replay::FeederItem> got;
      for (std::size_t b = 0; b < batches.size(); ++b) {
        const Batch batch(batches[b], (static_cast<std::size_t>(round) + b) % 2 == 0, b % 2);
        replay::feed_columns(by_columns, batch.columns(), got);
        while (by_columns.pending()) by_columns.resume(got);
      }
      by_columns.finish(true, got);
      // The first item that differs, not every item of a long replay.
      const auto got_items = flat(got);
      const auto expected_items = flat(expected);
      const auto differ = std::mismatch(got_items.begin(), got_items.end(), expected_items.begin(), expected_items.end());
      ASSERT_TRUE(differ.first == got_items.end() && differ.second == expected_items.end())
          << "round " << round << ", rule " << &rule - rules.data() << ", item " << differ.first - got_items.begin()
          << " of " << got_items.size() << "/" << expected_items.size();
      EXPECT_EQ(by_columns.events(), by_lines.events());
      EXPECT_EQ(by_columns.bad_lines(), by_lines.bad_lines());
      EXPECT_EQ(by_columns.lines(), by_lines.lines());
      EXPECT_EQ(by_columns.backwards(), by_lines.backwards());
      EXPECT_EQ(by_columns.first_backwards(), by_lines.first_backwards());
      EXPECT_EQ(by_columns.symbol_names(), by_lines.symbol_names());
      EXPECT_EQ(by_columns.alerts(), by_lines.alerts());
    }
  }
}

// A feeder whose room is full stops within the batch; resume() goes on with
// the rows already read, and the items are those of one go.
TEST(ColumnFeeder, RowsLeftByTheRoomWaitForResume) {
  std::mt19937_64 random(9);
  std::vector<Row> rows;
  for (int i = 0; i < 1500; ++i) rows.push_back(random_row(random, true));
  const Batch batch(rows, true, 1);
  const replay::CheckpointPolicy policy{5, std::nullopt};
  replay::LineFeeder whole(radars(), policy, false);
  std::vector<replay::FeederItem> expected;
  replay::feed_columns(whole, batch.columns(), expected);
  whole.finish(true, expected);

  replay::LineFeeder narrow(radars(), policy, false, {}, 1);
  std::vector<replay::FeederItem> got;
  replay::feed_columns(narrow, batch.columns(), got);
  int calls = 1;
  while (narrow.pending()) {
    narrow.resume(got);
    ++calls;
  }
  narrow.finish(true, got);
  EXPECT_GT(calls, 100);
  EXPECT_EQ(flat(got), flat(expected));
}

// Lines, then rows, then lines: the numbers run on, as through one input.
TEST(ColumnFeeder, RowsAreNumberedOnFromTheLines) {
  std::vector<Row> rows = {Row{"X", "derivatives", 5, {}, std::nullopt}, Row{"X", "nope", 6, {}, std::nullopt}};
  const Batch batch(rows, true, 0);
  replay::LineFeeder feeder(radars(), {}, false);
  std::vector<replay::FeederItem> items;
  feeder.feed("\n{\"symbol\":\"X\",\"event\":[\"derivatives\",1,1,1,1]}\n", items);
  ASSERT_TRUE(feeder.between_lines());
  replay::feed_columns(feeder, batch.columns(), items);
  feeder.feed("{}\n", items);
  const auto got = flat(items);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].number, 3u);  // the derivatives row lacks its numbers
  EXPECT_EQ(got[0].texts[0], "parse: missing field `open_interest`");
  EXPECT_EQ(got[1].number, 4u);
  EXPECT_EQ(got[1].texts[0], "parse: unknown variant `nope`, expected one of `derivatives`, `orderbook`, `liquidation`");
  EXPECT_EQ(got[2].number, 5u);
}

// JSON has no NaN or infinity: the row is refused where its number is, and
// says what the number was; a symbol that is not UTF-8 is refused too.
TEST(ColumnFeeder, NumbersJsonCannotHoldAreRefusedByName) {
  std::vector<Row> rows(4, Row{"X", "liquidation", 5, {}, "buy"});
  rows[0].numbers[event_schema::Qty] = std::nan("");
  rows[0].numbers[event_schema::Price] = 1;
  rows[1].numbers[event_schema::Qty] = 1;
  rows[1].numbers[event_schema::Price] = -std::numeric_limits<double>::infinity();
  rows[2].numbers[event_schema::Qty] = 1;
  rows[2].numbers[event_schema::Price] = 2;
  rows[2].numbers[event_schema::MarkPrice] = std::numeric_limits<double>::infinity();  // not a liquidation's
  rows[3] = rows[2];
  rows[3].symbol = "\xFF";
  const Batch batch(rows, false, 0);
  replay::LineFeeder feeder(radars(), {}, false);
  std::vector<replay::FeederItem> items;
  replay::feed_columns(feeder, batch.columns(), items);
  std::vector<replay::BadLine> bad;
  for (auto& item : items) {
    if (auto* line = std::get_if<replay::BadLine>(&item)) bad.push_back(*line);
  }
  ASSERT_EQ(bad.size(), 3u);
  EXPECT_EQ(bad[0].message, "parse: invalid value: floating point `NaN`, expected a finite f64");
  EXPECT_EQ(bad[0].field, "event.qty");
  EXPECT_EQ(bad[1].message, "parse: invalid value: floating point `-inf`, expected a finite f64");
  EXPECT_EQ(bad[1].field, "event.price");
  EXPECT_EQ(bad[2].number, 4u);
  EXPECT_EQ(bad[2].field, "symbol");
  EXPECT_EQ(feeder.events(), 1u);
}

// Rows written as lines and lines made into rows: a round trip that keeps
// every double and leaves out, with the line's reason, what the radar refuses.
TEST(ColumnFeeder, LinesAndRowsRoundTrip) {
  std::mt19937_64 random(5);
  std::vector<Row> rows;
  for (int i = 0; i < 2000; ++i) rows.push_back(random_row(random, true));
  std::string text;
  for (const Row& row : rows) text += line_of(row) + "\n";

  replay::LineColumnsWriter writer;
  writer.append(text, 1);
  const replay::LineColumns columns = writer.take();
  std::vector<Row> accepted;
  std::vector<std::uint64_t> bad_numbers;
  for (const auto& bad : columns.bad) bad_numbers.push_back(bad.number);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (std::find(bad_numbers.begin(), bad_numbers.end(), i + 1) == bad_numbers.end()) accepted.push_back(rows[i]);
  }
  ASSERT_EQ(columns.rows, accepted.size());
  ASSERT_FALSE(columns.bad.empty());

  // Back to lines from the original rows: the accepted ones, with the same reasons.
  const Batch batch(rows, true, 0);
  std::string lines;
  std::vector<replay::BadLine> bad;
  replay::append_row_lines(batch.columns(), 1, lines, bad);
  ASSERT_EQ(bad.size(), columns.bad.size());
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(bad[i].number, columns.bad[i].number);
    EXPECT_EQ(bad[i].message, columns.bad[i].message);
    EXPECT_EQ(bad[i].field, columns.bad[i].field);
  }
  // The written lines feed exactly as the accepted original lines.
  std::string accepted_text;
  for (const Row& row : accepted) accepted_text += line_of(row) + "\n";
  const auto replayed = [](const std::string& input) {
    replay::LineFeeder feeder(radars(), {std::nullopt, 100}, false);
    std::vector<replay::FeederItem> items;
    feeder.feed(input, items);
    feeder.finish(true, items);
    return flat(items);
  };
  EXPECT_EQ(replayed(lines), replayed(accepted_text));
  // And the columns hold the very doubles.
  std::size_t row = 0;
  for (const Row& original : accepted) {
    for (const auto& field : event_schema::variants[static_cast<std::size_t>(columns.kind[row])].fields) {
      if (field.type != event_schema::FieldType::Float) continue;
      const double value = columns.numbers[field.name][row];
      ASSERT_EQ(std::memcmp(&value, &*original.numbers[field.name], sizeof value), 0);
    }
    ASSERT_EQ(columns.ts[row], *original.ts);
    ++row;
  }
}

TEST(ColumnFeeder, ColumnsOfAnotherTypeAreNamed) {
  const Batch batch({Row{"X", "derivatives", 5, {}, std::nullopt}}, false, 0);
  replay::EventColumns columns = batch.columns();
  EXPECT_TRUE(columns.symbol.present());
  ArrowSchema ts{"g", "ts", nullptr, 0, 0, nullptr, nullptr, no_release_schema, nullptr};
  ArrowSchema* children[] = {&ts};
  ArrowSchema schema{"+s", "", nullptr, 0, 1, children, nullptr, no_release_schema, nullptr};
  double values[] = {1.0};
  const void* buffers[] = {nullptr, values};
  ArrowArray ts_array{1, 0, 0, 2, 0, buffers, nullptr, nullptr, no_release_array, nullptr};
  ArrowArray* array_children[] = {&ts_array};
  const void* none[] = {nullptr};
  ArrowArray array{1, 0, 0, 1, 1, none, array_children, nullptr, no_release_array, nullptr};
  const auto refused = replay::EventColumns::of(schema, array);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "column `ts` has Arrow format `g`, expected int64");
}

}  // namespace
}  // namespace fenmor
