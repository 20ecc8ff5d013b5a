// The prices a line feeder keeps while it feeds: only accepted events, by the
// symbol they were applied to, the same whatever the cut into blocks.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/spec_decode.hpp"

namespace fenmor {
namespace {

using Points = std::vector<std::pair<std::int64_t, double>>;

struct Seen {
  std::map<std::string, Points> marks;
  std::map<std::string, Points> mids;
  std::map<std::string, std::vector<double>> interests;
};

const std::string recording =
    R"({"symbol":"BTC","event":{"kind":"derivatives","ts":10,"open_interest":100,"funding_rate":0.0003,"mark_price":5}})" "\n"
    R"({"symbol":"BTC","event":["derivatives",20,101,-0.0002,0]})" "\n"       // no price: skipped
    R"({"symbol":"ETH","event":["orderbook",15,1,2,99,101]})" "\n"
    R"({"symbol":"E\u0054H","event":["orderbook",12,1,2,0,101]})" "\n"         // one-sided book
    R"({"symbol":"ETH","event":["liquidation",25,"sell",3,2000]})" "\n"       // not a price
    R"({"symbol":"ETH","event":["derivatives","x",1,1,7]})" "\n"              // rejected line
    R"({"symbol":"E\u0054H","event":["derivatives",30,7,0.1,2000.5]})" "\n"
    R"({"symbol":"BTC","event":["derivatives",5,102,0.0001,6]})" "\n";  // older ts: kept as fed

Seen feed_in_blocks(std::size_t block) {
  std::vector<RadarHandle> radars;
  radars.emplace_back(*CompiledSpec::compile(*decode_spec_text(R"({"signals":[{"kind":"oi_delta","params":[1,0.1]}]})")));
  replay::LineFeeder feeder(std::move(radars), {}, false);
  feeder.keep_prices();
  Seen seen;
  std::vector<replay::FeederItem> items;
  const auto take = [&] {
    for (const replay::SymbolPrices& prices : feeder.take_prices()) {
      const std::string& name = feeder.symbol_names().at(prices.symbol);
      for (std::size_t i = 0; i < prices.marks.ts.size(); ++i) {
        seen.marks[name].emplace_back(prices.marks.ts[i], prices.marks.price[i]);
        seen.interests[name].push_back(prices.marks.open_interest[i]);
      }
      for (std::size_t i = 0; i < prices.mids.ts.size(); ++i) {
        seen.mids[name].emplace_back(prices.mids.ts[i], prices.mids.price[i]);
      }
    }
  };
  for (std::size_t at = 0; at < recording.size(); at += block) {
    feeder.feed(std::string_view(recording).substr(at, block), items);
    take();
  }
  feeder.finish(true, items);
  take();
  return seen;
}

TEST(PriceTape, KeepsMarksAndMidsOfAcceptedEventsWhateverTheBlocks) {
  for (const std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{64}, recording.size()}) {
    const Seen seen = feed_in_blocks(block);
    EXPECT_EQ(seen.marks.at("BTC"), (Points{{10, 5.0}, {5, 6.0}})) << block;
    EXPECT_EQ(seen.interests.at("BTC"), (std::vector<double>{100.0, 102.0})) << block;
    EXPECT_EQ(seen.marks.at("ETH"), (Points{{30, 2000.5}})) << block;
    EXPECT_EQ(seen.mids.at("ETH"), (Points{{15, 100.0}})) << block;
    EXPECT_EQ(seen.mids.count("BTC"), 0U) << block;
  }
}

TEST(PriceTape, NothingIsKeptUnlessAsked) {
  std::vector<RadarHandle> radars;
  radars.emplace_back(*CompiledSpec::compile(*decode_spec_text(R"({"signals":[{"kind":"oi_delta","params":[1,0.1]}]})")));
  replay::LineFeeder feeder(std::move(radars), {}, false);
  std::vector<replay::FeederItem> items;
  feeder.feed(recording, items);
  EXPECT_TRUE(feeder.take_prices().empty());
}

}  // namespace
}  // namespace fenmor
