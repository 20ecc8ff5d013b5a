// Commands read straight from their text must mean exactly what the document
// route decodes from the same text; whatever the quick reader does not
// recognise goes to the document route, so only its yes answers are judged.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "crates/radar-core/src/protocol/decoded_command.hpp"
#include "crates/radar-core/src/protocol/quick_command.hpp"

namespace {

using fenmor::Event;
using fenmor::EventList;
using fenmor::QuickCommand;
using fenmor::QuickReader;
using fenmor::SymbolEvents;

struct Decoded {
  QuickCommand::Name name;
  std::string symbol;
  EventList events;       // "feed": the one event
  SymbolEvents symbols;   // "scan"
  bool operator==(const Decoded&) const = default;
};

// A decoded "feed", "feed_batch" or "scan" as a value to compare; nothing
// for a fault or another command.
std::optional<Decoded> summary(const std::expected<fenmor::DecodedCommand, fenmor::RadarError>& command) {
  if (!command) return std::nullopt;
  if (const auto* feed = std::get_if<fenmor::FeedCommand>(&*command)) {
    return Decoded{QuickCommand::Name::Feed, std::string(feed->symbol), {feed->event}, {}};
  }
  if (const auto* batch = std::get_if<fenmor::FeedBatchCommand>(&*command)) {
    return Decoded{QuickCommand::Name::FeedBatch, std::string(batch->symbol), *batch->events, {}};
  }
  if (const auto* scan = std::get_if<fenmor::ScanCommand>(&*command)) {
    return Decoded{QuickCommand::Name::Scan, {}, {}, *scan->symbol_events};
  }
  return std::nullopt;
}

std::optional<Decoded> by_document(const std::string& text) {
  return summary(fenmor::decode_command_document(text, fenmor::thread_working_buffers()));
}

// The command as decoded by the quick route, when the quick route takes it.
std::optional<Decoded> by_quick_reader(QuickReader& reader, const std::string& text) {
  if (!reader.read(text)) return std::nullopt;
  return summary(fenmor::decode_command(text, fenmor::thread_working_buffers()));
}

const std::string derivatives =
    R"({"kind":"derivatives","ts":1700000000000,"open_interest":1250000.5,"funding_rate":-0.0001,"mark_price":64010.2})";
const std::string orderbook =
    R"({"kind":"orderbook","ts":-5,"bid_volume":12,"ask_volume":3.5e2,"best_bid":1E-3,"best_ask":0})";
const std::string liquidation =
    R"({"kind":"liquidation","ts":9223372036854775807,"side":"sell","qty":2.5,"price":64000.5})";

// Texts the quick reader must recognise: the common forms and their
// harmless variations.
const std::vector<std::string> recognised = {
    R"({"cmd":"feed","symbol":"BTCUSDT","event":)" + derivatives + "}",
    R"({"event":)" + orderbook + R"(,"symbol":"","cmd":"feed"})",
    R"({"cmd":"feed","symbol":"X","event":)" + liquidation + R"(,"id":17,"note":"a b","ok":true})",
    R"({"cmd":"feed","symbol":"X","event":{"ts":1,"kind":"derivatives","mark_price":1,"funding_rate":2,"open_interest":3,"symbol":null}})",
    R"({"cmd":"feed","symbol":"X","event":{"kind":"liquidation","ts":1,"side":"buy","qty":1,"price":2,"ts":7,"qty":-0.0}})",
    R"({"cmd":"feed","symbol":"X","event":["derivatives",1,2,3,4]})",
    " {\n\t\"cmd\" : \"feed\" ,\r\n \"symbol\":\"X\", \"event\" : [ \"liquidation\" , 5 , \"sell\" , 1 , 2 ] } \n",
    R"({"cmd":"feed_batch","symbol":"ETH","events":[)" + derivatives + "," + orderbook + "," +
        liquidation + "]}",
    R"({"cmd":"feed_batch","symbol":"ETH","events":[]})",
    R"({"cmd":"feed_batch","symbol":"ETH","events":[)" + derivatives + R"(],"events":[)" +
        orderbook + "]}",
    R"({"cmd":"scan","events":{"b":[)" + derivatives + R"(],"a":[],"b":[)" + orderbook +
        R"(],"é":[)" + liquidation + "]}}",
    R"({"cmd":"scan","events":{}})",
    R"({"cmd":"nope","cmd":"feed","symbol":"X","event":)" + derivatives + "}",
};

TEST(QuickCommand, RecognisesTheCommonFormsAndAgrees) {
  QuickReader reader;
  for (const std::string& text : recognised) {
    const auto quick = by_quick_reader(reader, text);
    ASSERT_TRUE(quick.has_value()) << text;
    EXPECT_EQ(quick, by_document(text)) << text;
  }
}

// Texts that must be left to the document route: faults, nested values,
// escapes anywhere (even in a string that nothing reads: resolving a huge one
// is the document route's work), forms the quick route does not read.
TEST(QuickCommand, LeavesTheRestToTheDocument) {
  QuickReader reader;
  for (const std::string& text : {
           std::string(R"({"cmd":"feed","symbol":"X","event":)") + derivatives + "} x",
           std::string(R"({"cmd":"feed","symbol":"X"})"),
           std::string(R"({"cmd":"feed","event":)") + derivatives + "}",
           std::string(R"({"cmd":"feed","symbol":5,"event":)") + derivatives + "}",
           std::string(R"({"cmd":"f\u0065ed","symbol":"X","event":)") + derivatives + "}",
           std::string(R"({"cmd":"feed","symbol":"X\n","event":)") + derivatives + "}",
           std::string(R"({"cmd":"feed","symbol":"X","extra":[1],"event":)") + derivatives + "}",
           std::string(R"({"cmd":"feed","symbol":"X","note":"a\nb","event":)") + derivatives + "}",
           std::string(R"({"cmd":"feed","symbol":"X","event":{"k\u0069nd":"derivatives","ts":1,"open_interest":1,"funding_rate":1,"mark_price":1}})"),
           std::string(R"({"cmd":"scan","events":{"\u00e9":[]}})"),
           std::string(R"({"cmd":"feed","symbol":"X","event":{"kind":"liquidation","ts":1,"side":{"buy":null},"qty":1,"price":2}})"),
           std::string(R"({"cmd":"feed","symbol":"X","event":{"kind":"derivatives","ts":1.0,"open_interest":1,"funding_rate":1,"mark_price":1}})"),
           std::string(R"({"cmd":"feed","symbol":"X","event":{"kind":"derivatives","ts":9223372036854775808,"open_interest":1,"funding_rate":1,"mark_price":1}})"),
           std::string(R"({"cmd":"feed","symbol":"X","event":{"kind":"derivatives","ts":1,"open_interest":1,"funding_rate":1}})"),
           std::string(R"({"cmd":"feed","symbol":"X","event":["derivatives",1,2,3,4,5]})"),
           std::string(R"({"cmd":"feed_batch","symbol":"X","events":[)") + derivatives + ",]}",
           std::string(R"({"cmd":"scan","events":[]})"),
           std::string(R"({"cmd":"alerts"})"),
           std::string(R"([{"cmd":"feed"}])"),
       }) {
    EXPECT_FALSE(reader.read(text).has_value()) << text;
  }
}

// Random damage to the recognised texts: whatever the quick reader still
// accepts, the document route must decode alike.
TEST(QuickCommand, DamagedTextsAgreeWhenRecognised) {
  std::mt19937_64 random(5);
  const std::string bytes = "{}[],:\"\\ \t0123456789eE.-+tnfuabkdsymol";
  QuickReader reader;
  int accepted = 0;
  for (int round = 0; round < 40000; ++round) {
    std::string text = recognised[random() % recognised.size()];
    const int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % text.size();
      switch (random() % 4) {
        case 0: text.erase(at, 1); break;
        case 1: text.insert(at, 1, bytes[random() % bytes.size()]); break;
        case 2: text[at] = bytes[random() % bytes.size()]; break;
        default: {
          // Repeat a slice elsewhere: repeated members, values and symbols.
          const std::size_t length = 1 + random() % 40;
          const std::string slice = text.substr(at, length);
          text.insert(random() % text.size(), slice);
        }
      }
    }
    const auto quick = by_quick_reader(reader, text);
    if (!quick) continue;
    ++accepted;
    ASSERT_EQ(quick, by_document(text)) << text;
  }
  EXPECT_GT(accepted, 1000);  // the comparison ran on many texts
}

}  // namespace
