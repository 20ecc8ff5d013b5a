// The worker pool: every index exactly once, on the right threads; the shared
// pool's size, its behaviour across fork() and at exit.

#include <gtest/gtest.h>

#include "tests/cpp/case_names.hpp"
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crates/radar-core/src/scan.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace fenmor {
namespace {

using namespace std::chrono_literals;

// At least two workers even where the process may use one processor.
[[maybe_unused]] const int force_workers = setenv("FENMOR_RADAR_WORKERS", "3", 0);

std::size_t thread_count() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// Runs `body` in a forked child and returns its exit status; -1 when it has
// not exited within the timeout (it is then killed), 128 + signal when killed.
int run_in_child(const std::function<int()>& body, std::chrono::seconds timeout = 60s) {
  const pid_t pid = fork();
  if (pid < 0) return -2;
  if (pid == 0) _exit(body());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

// --- one pool -------------------------------------------------------------

struct Shape {
  std::size_t workers;
  std::size_t count;
};

class ForEachIndex : public ::testing::TestWithParam<Shape> {};

TEST_P(ForEachIndex, CallsEveryIndexExactlyOnce) {
  WorkerPool pool(GetParam().workers);
  const std::size_t count = GetParam().count;
  for (int round = 0; round < 3; ++round) {
    std::vector<std::atomic<int>> hits(count);
    pool.for_each_index(count, [&](std::size_t i) { hits[i].fetch_add(1); });
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ForEachIndex,
                         ::testing::Values(Shape{0, 5}, Shape{2, 0}, Shape{2, 2}, Shape{3, 17},
                                           Shape{8, 7}, Shape{2, 100000}),
    [](const auto& test_case) {
      const Shape shape = test_case.param;
      return test::case_name(test_case.index,
                             test::text_of(shape.workers, "workers", shape.count, "items"));
    });

TEST(WorkerPool, TrivialWorkStaysOnTheCallingThread) {
  const auto caller = std::this_thread::get_id();
  std::mutex mutex;
  std::set<std::thread::id> seen;
  auto record = [&](std::size_t) {
    std::lock_guard lock(mutex);
    seen.insert(std::this_thread::get_id());
  };

  WorkerPool single(1);
  EXPECT_EQ(single.parallelism(), 1u);
  single.for_each_index(50, record);
  EXPECT_EQ(seen, std::set<std::thread::id>{caller});

  WorkerPool pool(4);
  EXPECT_EQ(pool.parallelism(), 4u);
  seen.clear();
  pool.for_each_index(1, record);
  EXPECT_EQ(seen, std::set<std::thread::id>{caller});

  // With real work the caller only waits.
  seen.clear();
  pool.for_each_index(50, record);
  EXPECT_EQ(seen.count(caller), 0u);
}

TEST(WorkerPool, IdleWorkersGetAShareOfTheWork) {
  WorkerPool pool(2);
  std::mutex mutex;
  std::set<std::thread::id> seen;
  pool.for_each_index(400, [&](std::size_t) {
    std::this_thread::sleep_for(200us);
    std::lock_guard lock(mutex);
    seen.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(seen.size(), 2u);
}

TEST(WorkerPool, CallFromInsideAWorkerRunsInline) {
  WorkerPool pool(2);
  std::atomic<int> inner{0};
  pool.for_each_index(20, [&](std::size_t) {
    const auto self = std::this_thread::get_id();
    pool.for_each_index(5, [&](std::size_t) {
      EXPECT_EQ(std::this_thread::get_id(), self);
      inner.fetch_add(1);
    });
  });
  EXPECT_EQ(inner.load(), 100);
}

TEST(WorkerPool, SeveralCallersShareOnePool) {
  WorkerPool pool(3);
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (int round = 0; round < 50; ++round) {
        std::vector<int> out(97, 0);
        pool.for_each_index(out.size(), [&](std::size_t i) { out[i] = static_cast<int>(i) * 3; });
        for (std::size_t i = 0; i < out.size(); ++i) {
          if (out[i] != static_cast<int>(i) * 3) wrong.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(WorkerPool, DestructionStopsItsThreads) {
  // In a child, where no other test's threads are still on their way out.
  const int status = run_in_child([] {
    for (int round = 0; round < 10; ++round) {
      WorkerPool pool(3);
      if (thread_count() < 4) return 1;
      std::atomic<int> sum{0};
      pool.for_each_index(30, [&](std::size_t i) { sum.fetch_add(static_cast<int>(i)); });
      if (sum.load() != 435) return 2;
    }
    // Detached threads leave just after they release the pool.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (thread_count() > 1 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return thread_count() == 1 ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
}

// --- the shared pool --------------------------------------------------------

TEST(SharedPool, SizeFollowsTheProcessorsThisProcessMayUse) {
  const int status = run_in_child([] {
    unsetenv("FENMOR_RADAR_WORKERS");
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 10;
    const int all = CPU_COUNT(&set);
    if (available_processors() != static_cast<std::size_t>(all)) return 11;
    std::size_t first = 0;
    while (!CPU_ISSET(first, &set)) ++first;
    CPU_ZERO(&set);
    CPU_SET(first, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) return 12;
    if (available_processors() != 1) return 13;
    // One processor: one worker, which means no extra thread at all.
    if (shared_worker_pool().parallelism() != 1) return 14;
    parallel_for(100, [](std::size_t) {});
    return thread_count() == 1 ? 0 : 15;
  });
  EXPECT_EQ(status, 0);
}

struct EnvCase {
  const char* value;
  std::size_t expected;  // 0: the processor count
};

class SharedPoolSize : public ::testing::TestWithParam<EnvCase> {};

TEST_P(SharedPoolSize, ComesFromTheEnvironmentWhenValid) {
  const EnvCase c = GetParam();
  const int status = run_in_child([c] {
    setenv("FENMOR_RADAR_WORKERS", c.value, 1);
    const std::size_t expected = c.expected == 0 ? available_processors() : c.expected;
    return shared_worker_pool().parallelism() == expected ? 0 : 1;
  });
  EXPECT_EQ(status, 0) << '"' << c.value << '"';
}

INSTANTIATE_TEST_SUITE_P(Values, SharedPoolSize,
                         ::testing::Values(EnvCase{"3", 3}, EnvCase{"1", 1}, EnvCase{"0", 0},
                                           EnvCase{"2x", 0}, EnvCase{"-2", 0},
                                           EnvCase{"1025", 0}),
    [](const auto& test_case) {
      return test::case_name(test_case.index, test::text_of("workers", test_case.param.value));
    });

CompiledSpec compiled(const RadarSpec& spec) {
  auto compiled = CompiledSpec::compile(spec);
  EXPECT_TRUE(compiled.has_value());
  return std::move(*compiled);
}

TEST(SharedPool, SmallRequestsNeverStartIt) {
  const int status = run_in_child([] {
    setenv("FENMOR_RADAR_WORKERS", "2", 1);
    RadarSpec spec;
    spec.signals = {Signal{IndicatorKind::FundingFlip, {1}, 1}};
    if (scan_events(compiled(spec), {}).scanned != 0) return 10;
    if (scan_events(compiled(spec), {{"A", {Derivatives{1, 1, 0.5, 1}}}}).scanned != 1) return 11;
    parallel_for(1, [](std::size_t) {});
    if (thread_count() != 1) return 12;
    if (scan_events(compiled(spec), {{"A", {}}, {"B", {}}}).scanned != 2) return 13;
    return thread_count() == 3 ? 0 : 14;
  });
  EXPECT_EQ(status, 0);
}

RadarSpec fork_spec() {
  RadarSpec spec;
  spec.signals = {Signal{IndicatorKind::FundingFlip, {0.001}, 1},
                  Signal{IndicatorKind::LiqCluster, {4, 100}, 1}};
  return spec;
}

SymbolEvents fork_events() {
  SymbolEvents events;
  for (int s = 0; s < 300; ++s) {
    EventList list;
    for (int e = 0; e < 20; ++e) {
      list.push_back(Derivatives{e, 1, (s % 7 - 3) * 1e-4 * (e % 2 ? 1 : -1), 1});
      list.push_back(Liquidation{e, Side::Buy, static_cast<double>((s * 31 + e) % 50), 1});
    }
    events.emplace_back("S" + std::to_string(1000 + s), std::move(list));
  }
  return events;
}

bool same_alerts(const ScanResult& a, const ScanResult& b) {
  if (a.scanned != b.scanned || a.alerts.size() != b.alerts.size()) return false;
  for (std::size_t i = 0; i < a.alerts.size(); ++i) {
    if (a.alerts[i].symbol != b.alerts[i].symbol || a.alerts[i].factors != b.alerts[i].factors) {
      return false;
    }
  }
  return true;
}

TEST(SharedPool, ForkedChildScansAfterTheParentUsedThePool) {
  const RadarSpec spec = fork_spec();
  const SymbolEvents events = fork_events();
  const ScanResult expected = scan_events(compiled(spec), events);  // the pool is running now
  ASSERT_EQ(expected.scanned, 300u);

  const int status = run_in_child([&] {
    if (!same_alerts(scan_events(compiled(spec), events), expected)) return 1;
    // The child's own pool survives the next generation's fork too.
    const int grandchild = run_in_child(
        [&] { return same_alerts(scan_events(compiled(spec), events), expected) ? 0 : 1; }, 30s);
    return grandchild == 0 ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(same_alerts(scan_events(compiled(spec), events), expected));
}

TEST(SharedPool, ForkWhileAnotherThreadKeepsThePoolBusy) {
  const RadarSpec spec = fork_spec();
  const SymbolEvents events = fork_events();
  const ScanResult expected = scan_events(compiled(spec), events);

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread busy([&] {
    while (!stop.load()) {
      if (!same_alerts(scan_events(compiled(spec), events), expected)) wrong.fetch_add(1);
    }
  });
  for (int i = 0; i < 10; ++i) {
    const int status = run_in_child(
        [&] { return same_alerts(scan_events(compiled(spec), events), expected) ? 0 : 1; }, 30s);
    EXPECT_EQ(status, 0) << "fork " << i;
  }
  stop.store(true);
  busy.join();
  EXPECT_EQ(wrong.load(), 0);
}

class CleanExit : public ::testing::TestWithParam<bool> {};

TEST_P(CleanExit, ProcessExitsWithThePoolIdleOrNeverStarted) {
  const bool use_pool = GetParam();
  const int status = run_in_child(
      [use_pool]() -> int {
        if (use_pool) {
          std::atomic<int> sum{0};
          parallel_for(1000, [&](std::size_t i) { sum.fetch_add(static_cast<int>(i)); });
          if (sum.load() != 499500) return 1;
        }
        std::exit(0);  // static destructors and atexit handlers run
      },
      30s);
  EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(PoolUsed, CleanExit, ::testing::Bool(),
    [](const auto& test_case) {
      return test::case_name(test_case.index, test_case.param ? "pool used" : "pool unused");
    });

}  // namespace
}  // namespace fenmor
