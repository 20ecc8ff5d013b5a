#include "crates/radar-core/src/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace fenmor {

struct WorkerPool::Job {
  IndexFn fn;
  void* context;
  std::size_t remaining;  // indexes not yet done, guarded by the pool's mutex
  std::condition_variable finished;

  Job(IndexFn f, void* c, std::size_t count) : fn(f), context(c), remaining(count) {}
};

namespace {

// A worker that calls back into a pool must not wait for the pool's workers:
// they may all be waiting for it.
thread_local bool on_worker_thread = false;

}  // namespace

WorkerPool::WorkerPool(std::size_t workers) {
  if (workers < 2) return;

  // Workers take no asynchronous signals, so those reach the threads that
  // expect them (a host interpreter's main thread, say).
  sigset_t all_signals;
  sigset_t previous;
  sigfillset(&all_signals);
  pthread_sigmask(SIG_SETMASK, &all_signals, &previous);

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < workers; ++i) {
      pthread_t thread;
      // A thread the system refuses only makes the pool smaller.
      if (pthread_create(&thread, &attributes, &WorkerPool::thread_main, this) != 0) break;
      ++live_;
    }
    workers_ = live_;
  }
  pthread_attr_destroy(&attributes);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

WorkerPool::~WorkerPool() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  work_ready_.notify_all();
  workers_gone_.wait(lock, [this] { return live_ == 0; });
}

void* WorkerPool::thread_main(void* pool) noexcept {
  on_worker_thread = true;
  static_cast<WorkerPool*>(pool)->work_loop();
  return nullptr;
}

void WorkerPool::note_counts() noexcept {
  hungry_.store(static_cast<std::ptrdiff_t>(idle_) - static_cast<std::ptrdiff_t>(queue_.size()),
                std::memory_order_relaxed);
}

void WorkerPool::work_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!queue_.empty()) {
      Piece piece = queue_.front();
      queue_.pop_front();
      note_counts();
      lock.unlock();
      const std::size_t done = process(piece);
      lock.lock();
      piece.job->remaining -= done;
      // Notified under the lock: the caller cannot return (and destroy the
      // job) before this worker lets go of the mutex.
      if (piece.job->remaining == 0) piece.job->finished.notify_one();
      continue;
    }
    if (stopping_) break;
    ++idle_;
    note_counts();
    work_ready_.wait(lock);
    --idle_;
    note_counts();
  }
  --live_;
  workers_gone_.notify_all();
}

std::size_t WorkerPool::process(Piece piece) {
  std::size_t done = 0;
  while (piece.begin < piece.end) {
    // Splitting is only worth it while someone is waiting for work; checked
    // before every index, so a worker that runs dry early gets half of what
    // is left of a busy one's piece.
    if (piece.end - piece.begin > 1 && hungry_.load(std::memory_order_relaxed) > 0) {
      const std::size_t middle = piece.begin + (piece.end - piece.begin + 1) / 2;
      give_away({piece.job, middle, piece.end});
      piece.end = middle;
      continue;
    }
    piece.job->fn(piece.job->context, piece.begin);
    ++piece.begin;
    ++done;
  }
  return done;
}

void WorkerPool::give_away(Piece piece) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(piece);
    note_counts();
  }
  work_ready_.notify_one();
}

void WorkerPool::run(std::size_t count, IndexFn fn, void* context) {
  if (count < 2 || workers_ < 2 || on_worker_thread) {
    for (std::size_t i = 0; i < count; ++i) fn(context, i);
    return;
  }
  Job job(fn, context, count);
  std::unique_lock lock(mutex_);
  queue_.push_back({&job, 0, count});
  note_counts();
  lock.unlock();
  work_ready_.notify_one();
  lock.lock();
  job.finished.wait(lock, [&job] { return job.remaining == 0; });
}

std::size_t available_processors() noexcept {
  // The set must be large enough for the kernel's CPU numbering; grow it
  // until sched_getaffinity accepts it.
  for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int status = sched_getaffinity(0, size, set);
    const int error = errno;
    const int count = status == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (count > 0) return static_cast<std::size_t>(count);
    if (status == 0 || error != EINVAL) break;
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

namespace {

// The one process-wide pool: created on first use and never destroyed, so
// no thread object is torn down at exit and idle workers never block it.
std::mutex creation_mutex;
WorkerPool* shared_pool = nullptr;
bool fork_handlers_installed = false;

// Held across fork() so the child never inherits it locked by a thread that
// does not exist there.
void before_fork() noexcept { creation_mutex.lock(); }
void after_fork_in_parent() noexcept { creation_mutex.unlock(); }
// The parent's workers do not exist in the child and its pool's mutex may be
// held by one of them: leave that object alone, the next call makes a new one.
void after_fork_in_child() noexcept {
  shared_pool = nullptr;
  creation_mutex.unlock();
}

constexpr std::size_t max_configured_workers = 1024;

std::size_t configured_workers() {
  if (const char* text = std::getenv("FENMOR_RADAR_WORKERS")) {
    const char* end = text + std::strlen(text);
    std::size_t value = 0;
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error == std::errc() && stop == end && value >= 1 && value <= max_configured_workers) {
      return value;
    }
  }
  return available_processors();
}

}  // namespace

WorkerPool& shared_worker_pool() {
  std::lock_guard lock(creation_mutex);
  if (!fork_handlers_installed) {
    fork_handlers_installed =
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
  }
  if (shared_pool == nullptr) shared_pool = new WorkerPool(configured_workers());
  return *shared_pool;
}

}  // namespace fenmor
