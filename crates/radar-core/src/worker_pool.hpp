#pragma once
// The worker threads that build a scan's states in parallel.
//
// One pool serves the whole process (shared_worker_pool); it is created on
// first use with one worker per processor the process may run on (its CPU
// affinity, not the machine's core count). The environment variable
// FENMOR_RADAR_WORKERS, read once when the pool is created, sets the number of
// workers instead (a decimal count from 1 to 1024; other values are ignored).
// With one worker every call simply runs on the calling thread.
//
// Work is an index range [0, count). It is handed out as contiguous pieces:
// a worker that finds idle colleagues splits the rest of its piece into two
// halves and gives the upper half away, so pieces shrink down to single
// indexes only while there are idle workers to take them. The calling thread
// waits until every index is done.
//
// The shared pool is deliberately never destroyed: its idle workers sleep on
// a condition variable and never hold up process exit. A child created by
// fork() abandons the parent's pool without touching it (its threads do not
// exist in the child) and starts a fresh one on its first parallel call.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <type_traits>

namespace fenmor {

class WorkerPool {
 public:
  // Starts `workers` threads; 0 or 1 starts none, and every call then runs on
  // the calling thread.
  explicit WorkerPool(std::size_t workers);
  // Stops the workers and waits for them to leave. No call may be running.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The number of threads that share a call's work, at least 1.
  std::size_t parallelism() const noexcept { return workers_ < 2 ? 1 : workers_; }

  // Calls body(i) exactly once for every i in [0, count), each call on one
  // thread, and returns when all have returned. Calls for different indexes
  // may run at the same time, so body must only write what index i owns.
  // Fewer than two indexes, a one-thread pool, or a call made from inside a
  // worker, run on the calling thread without waking anyone.
  template <class Body>
  void for_each_index(std::size_t count, Body&& body) {
    using Fn = std::remove_reference_t<Body>;
    run(
        count, [](void* context, std::size_t i) { (*static_cast<Fn*>(context))(i); },
        const_cast<void*>(static_cast<const void*>(std::addressof(body))));
  }

 private:
  using IndexFn = void (*)(void* context, std::size_t index);
  struct Job;
  struct Piece {
    Job* job;
    std::size_t begin;
    std::size_t end;
  };

  void run(std::size_t count, IndexFn fn, void* context);
  static void* thread_main(void* pool) noexcept;
  void work_loop();
  std::size_t process(Piece piece);
  void give_away(Piece piece);
  void note_counts() noexcept;

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable workers_gone_;
  std::deque<Piece> queue_;
  std::size_t idle_ = 0;
  // idle_ minus the pieces already queued for them, readable without the
  // lock: positive means someone would take a piece split off now.
  std::atomic<std::ptrdiff_t> hungry_{0};
  std::size_t live_ = 0;
  std::size_t workers_ = 0;
  bool stopping_ = false;
};

// Processors this process may run on (sched_getaffinity), at least 1.
std::size_t available_processors() noexcept;

// The process-wide pool, created on the first call.
WorkerPool& shared_worker_pool();

// for_each_index on the shared pool; with fewer than two indexes the body
// runs on the calling thread and the pool is not even created.
template <class Body>
void parallel_for(std::size_t count, Body&& body) {
  if (count < 2) {
    for (std::size_t i = 0; i < count; ++i) body(i);
    return;
  }
  shared_worker_pool().for_each_index(count, body);
}

}  // namespace fenmor
