#include "crates/radar-core/src/scan.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "crates/radar-core/src/evaluate.hpp"
#include "crates/radar-core/src/symbol_state/symbol_state.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor {
namespace {

// Evaluates the candidates one after another on the calling thread. The
// factor buffer is reused; only a passing symbol gets its own copy.
class Selection {
 public:
  // `candidates`: how many will be considered. A threshold of 0 or less
  // passes them all, and then the alerts are reserved at once rather than
  // moved again and again as the list grows.
  Selection(const CompiledSpec& spec, std::size_t candidates) : spec_(spec) {
    scratch_.resize(spec.keys().names().size());
    if (spec.threshold() <= 0.0) alerts_.reserve(candidates);
  }

  void consider(std::string_view symbol, const SymbolState& state) {
    ++scanned_;
    const double severity = evaluate_into(state, spec_.signals(), spec_.keys(), scratch_);
    // A NaN severity compares false and never passes.
    if (!(severity >= spec_.threshold())) return;
    alerts_.push_back(Alert{std::string(symbol), severity,
                            std::vector<double>(scratch_.begin(), scratch_.end()),
                            state.last_ts()});
  }

  ScanResult finish() && {
    rank_and_limit();
    return ScanResult{spec_.keys().names(), std::move(alerts_), scanned_};
  }

 private:
  // Highest severity first, then symbol byte-wise. Symbols are unique within
  // a scan, so the order is total and any sort gives the same list.
  // Sorts small keys that point at the alerts rather than the alerts
  // themselves, which are costly to move; then moves each alert once.
  void rank_and_limit() {
    // Equal severities are common; their symbols are told apart by their
    // first eight bytes as one number in byte order, mostly without
    // reading the texts again.
    struct Rank {
      double severity;
      std::uint64_t head;
      const std::string* symbol;
      std::size_t index;
    };
    const auto before = [](const Rank& a, const Rank& b) {
      if (a.severity != b.severity) return a.severity > b.severity;
      if (a.head != b.head) return a.head < b.head;
      return *a.symbol < *b.symbol;
    };
    const auto head_of = [](const std::string& symbol) {
      std::uint64_t head = 0;
      const std::size_t count = symbol.size() < 8 ? symbol.size() : 8;
      for (std::size_t i = 0; i < count; ++i) {
        head |= std::uint64_t{static_cast<unsigned char>(symbol[i])} << (56 - 8 * i);
      }
      return head;
    };
    std::vector<Rank> ranks;
    ranks.reserve(alerts_.size());
    for (std::size_t i = 0; i < alerts_.size(); ++i) {
      ranks.push_back(Rank{alerts_[i].severity, head_of(alerts_[i].symbol), &alerts_[i].symbol, i});
    }
    const std::optional<std::uint64_t>& limit = spec_.limit();
    std::size_t keep = ranks.size();
    if (limit && *limit < ranks.size()) {
      keep = static_cast<std::size_t>(*limit);
      const auto end = ranks.begin() + static_cast<std::ptrdiff_t>(keep);
      std::partial_sort(ranks.begin(), end, ranks.end(), before);
    } else {
      std::sort(ranks.begin(), ranks.end(), before);
    }
    std::vector<Alert> ranked;
    ranked.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) ranked.push_back(std::move(alerts_[ranks[i].index]));
    alerts_ = std::move(ranked);
  }

  const CompiledSpec& spec_;
  std::vector<double> scratch_;
  std::vector<Alert> alerts_;
  std::uint64_t scanned_ = 0;
};

}  // namespace

ScanResult scan_dataset(const CompiledSpec& spec, const Dataset& dataset) {
  // The ranking orders the alerts completely, so the order of evaluation
  // does not show in the result. The states are taken in the order of the
  // dataset's index, which says where the next ones are: each is fetched
  // from memory a few slots ahead, first its node, then its histories.
  constexpr std::size_t node_ahead = 8;
  constexpr std::size_t histories_ahead = 4;
  Selection selection(spec, dataset.len());
  const auto slots = dataset.unordered_slots();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (i + node_ahead < slots.size() && slots[i + node_ahead] != nullptr) {
      __builtin_prefetch(slots[i + node_ahead]);
      __builtin_prefetch(&slots[i + node_ahead]->second);
    }
    if (i + histories_ahead < slots.size() && slots[i + histories_ahead] != nullptr) {
      slots[i + histories_ahead]->second.prefetch();
    }
    if (slots[i] != nullptr) selection.consider(slots[i]->first, slots[i]->second);
  }
  return std::move(selection).finish();
}

ScanResult scan_events(const CompiledSpec& spec, const SymbolEvents& events) {
  const std::uint64_t window = spec.window();

  // Every symbol's slot exists before any worker starts, so each worker only
  // writes the slots of its own indexes and the list keeps the input order.
  std::vector<SymbolState> states;
  states.reserve(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) states.emplace_back(window);

  parallel_for(events.size(), [&](std::size_t i) {
    states[i] = SymbolState::from_events(window, events[i].second);
  });

  Selection selection(spec, events.size());
  for (std::size_t i = 0; i < events.size(); ++i) selection.consider(events[i].first, states[i]);
  return std::move(selection).finish();
}

}  // namespace fenmor
