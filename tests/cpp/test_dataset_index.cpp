// The dataset finds known symbols through a hash index beside its ordered
// tree: through every growth of the index each symbol must keep exactly one
// state, found again on its next event, and listed once among the slots.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "crates/radar-core/src/symbol_state/dataset.hpp"

namespace {

using fenmor::Dataset;
using fenmor::Derivatives;

const std::vector<fenmor::Signal> signals = {
    fenmor::Signal{fenmor::IndicatorKind::OiDelta, {3, 0.05}, 1.0}};

// Symbols that collide in their first bytes, differ only in length, are
// empty or hold bytes above 0x7f.
std::vector<std::string> symbols(std::size_t count) {
  std::vector<std::string> out = {"", "A", "AA", "AAA", "\xff", std::string(1, '\0'), "a"};
  for (std::size_t i = 0; out.size() < count; ++i) {
    out.push_back("SYM" + std::to_string(i) + (i % 3 == 0 ? "USDT" : ""));
  }
  return out;
}

TEST(DatasetIndex, EverySymbolKeepsOneStateThroughGrowth) {
  const std::vector<std::string> names = symbols(5000);
  Dataset dataset;
  for (std::size_t i = 0; i < names.size(); ++i) {
    dataset.feed(names[i], Derivatives{static_cast<std::int64_t>(i), 1, 0.1, 1}, state_window(signals));
    ASSERT_EQ(dataset.len(), i + 1) << names[i];
  }
  // A second event for each symbol finds the state it already has.
  for (std::size_t i = 0; i < names.size(); ++i) {
    dataset.feed(names[i], Derivatives{static_cast<std::int64_t>(i + 100000), 2, 0.1, 1},
                 state_window(signals));
  }
  ASSERT_EQ(dataset.len(), names.size());

  std::vector<std::string> ordered;
  for (const auto& [symbol, state] : dataset) {
    ordered.push_back(symbol);
    EXPECT_EQ(state.open_interests().size(), 2u) << symbol;
    EXPECT_GE(state.last_ts(), 100000);
  }
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(ordered, sorted);

  std::multiset<std::string> listed;
  for (const auto* entry : dataset.unordered_slots()) {
    if (entry != nullptr) listed.insert(entry->first);
  }
  EXPECT_EQ(listed, std::multiset<std::string>(names.begin(), names.end()));
}

TEST(DatasetIndex, ClearEmptiesTheIndexToo) {
  Dataset dataset;
  for (const std::string& name : symbols(100)) {
    dataset.feed(name, Derivatives{1, 1, 0.1, 1}, state_window(signals));
  }
  dataset.clear();
  EXPECT_EQ(dataset.len(), 0u);
  EXPECT_TRUE(dataset.unordered_slots().empty());
  dataset.feed("A", Derivatives{7, 1, 0.1, 1}, state_window(signals));
  EXPECT_EQ(dataset.len(), 1u);
  EXPECT_EQ(dataset.begin()->second.last_ts(), 7);
  EXPECT_EQ(dataset.begin()->second.open_interests().size(), 1u);
}

TEST(DatasetIndex, AMovedDatasetStillFindsItsSymbols) {
  Dataset original;
  for (const std::string& name : symbols(300)) {
    original.feed(name, Derivatives{1, 1, 0.1, 1}, state_window(signals));
  }
  Dataset moved = std::move(original);
  for (const std::string& name : symbols(300)) {
    moved.feed(name, Derivatives{2, 1, 0.1, 1}, state_window(signals));
  }
  EXPECT_EQ(moved.len(), 300u);
  for (const auto& [symbol, state] : moved) EXPECT_EQ(state.open_interests().size(), 2u);
}

}  // namespace
