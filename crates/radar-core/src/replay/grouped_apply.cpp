#include "crates/radar-core/src/replay/grouped_apply.hpp"

#include <algorithm>

#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor::replay {

namespace {

void apply_run(const SymbolStates& states, std::size_t radars, const StretchEvent* begin,
               const StretchEvent* end) {
  // The next symbol's states are asked for while this one's are applied.
  for (const StretchEvent* at = begin; at != end; ++at) {
    const StretchEvent* next = at + 1;
    if (next != end && next->number != at->number) {
      states.prefetch_states(next->number, radars);
      states.prefetch_histories(next->number, radars);
    }
    states.apply_states(at->number, radars, *at->event);
  }
}

}  // namespace

void GroupedApply::apply(const SymbolStates& states, std::size_t radars,
                         const std::vector<StretchEvent>& events) {
  const std::size_t count = events.size();
  const std::size_t threads = count < least_grouped ? 1 : shared_worker_pool().parallelism();
  if (threads < 2) {
    apply_run(states, radars, events.data(), events.data() + count);
    return;
  }
  // Grouped by a counting sort over the symbol numbers, or by a stable sort
  // when the table holds far more symbols than the stretch has events.
  const std::size_t symbols = states.size();
  grouped_.resize(count);
  if (symbols <= 4 * count) {
    starts_.assign(symbols + 1, 0);
    for (const StretchEvent& event : events) ++starts_[event.number + 1];
    for (std::size_t n = 1; n <= symbols; ++n) starts_[n] += starts_[n - 1];
    for (const StretchEvent& event : events) grouped_[starts_[event.number]++] = event;
  } else {
    std::copy(events.begin(), events.end(), grouped_.begin());
    std::stable_sort(grouped_.begin(), grouped_.end(),
                     [](const StretchEvent& a, const StretchEvent& b) { return a.number < b.number; });
  }
  // A few shares per thread, cut where a symbol's group ends, so that a
  // thread that finishes early takes another.
  const std::size_t shares = 4 * threads;
  const std::size_t share = (count + shares - 1) / shares;
  pieces_.assign(1, 0);
  for (std::size_t at = share; at < count; at += share) {
    while (at < count && grouped_[at].number == grouped_[at - 1].number) ++at;
    if (at < count) pieces_.push_back(at);
  }
  pieces_.push_back(count);
  parallel_for(pieces_.size() - 1, [&](std::size_t p) {
    apply_run(states, radars, grouped_.data() + pieces_[p], grouped_.data() + pieces_[p + 1]);
  });
}

}  // namespace fenmor::replay
