#pragma once
// A first-in, first-out ring of rows of `Lanes` doubles, stored interleaved in
// one allocation. Several histories that are always appended together (open
// interest, funding rate and mark price) share one ring, one index and one
// buffer; each lane is read through its own HistoryView.
//
// The buffer grows geometrically with the rows actually pushed and is capped
// at the window, so a huge window costs nothing until data arrives, and a
// ring that has reached its window allocates nothing on further pushes: the
// newest row overwrites the oldest in place.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "crates/radar-core/src/symbol_state/history_view.hpp"

namespace fenmor {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t),
              "windows are unsigned 64-bit and index memory directly");

template <std::size_t Lanes>
class RingBuffer {
 public:
  using Row = std::array<double, Lanes>;

  // The first allocation of a ring that grows by pushes: the smallest window
  // any spec yields, so a two-sample window is allocated exactly once.
  static constexpr std::size_t initial_capacity = 2;

  RingBuffer() = default;
  RingBuffer(const RingBuffer& other) { copy_from(other); }
  RingBuffer(RingBuffer&& other) noexcept
      : data_(std::move(other.data_)),
        capacity_(std::exchange(other.capacity_, 0)),
        head_(std::exchange(other.head_, 0)),
        size_(std::exchange(other.size_, 0)) {}
  RingBuffer& operator=(const RingBuffer& other) {
    if (this != &other) copy_from(other);
    return *this;
  }
  RingBuffer& operator=(RingBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    capacity_ = std::exchange(other.capacity_, 0);
    head_ = std::exchange(other.head_, 0);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ~RingBuffer() = default;

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Appends a row; when the ring already holds `window` rows the oldest is
  // dropped. A window of 0 keeps nothing.
  void push(const Row& row, std::uint64_t window) {
    if (size_ < window && size_ == capacity_) grow_to(next_capacity(window));
    if (capacity_ == 0) return;
    std::size_t slot;
    if (size_ < capacity_) {
      slot = wrap(head_ + size_);
      ++size_;
    } else {
      // Full at the window: the newest row takes the oldest row's place.
      slot = head_;
      head_ = wrap(head_ + 1);
    }
    std::copy(row.begin(), row.end(), data_.get() + slot * Lanes);
  }

  // Makes room for `rows` rows at once, never beyond the window and never
  // shrinking. Used when the number of rows to come is known, to skip the
  // intermediate growth steps.
  void reserve(std::size_t rows, std::uint64_t window) {
    const std::size_t capacity = std::min<std::size_t>(rows, window);
    if (capacity > capacity_) grow_to(capacity);
  }

  // Asks for the rows to be loaded into the cache, ahead of reading them.
  void prefetch() const noexcept {
    constexpr std::size_t line = 64;
    const auto* bytes = reinterpret_cast<const char*>(data_.get());
    const std::size_t size = capacity_ * Lanes * sizeof(double);
    for (std::size_t offset = 0; offset < size; offset += line) __builtin_prefetch(bytes + offset);
  }

  // Lane `lane` (< Lanes) as a history, oldest row first.
  HistoryView lane(std::size_t lane) const noexcept {
    if (size_ == 0) return {};
    return HistoryView(data_.get() + lane, capacity_, head_, size_, Lanes);
  }

 private:
  std::size_t wrap(std::size_t slot) const noexcept {
    return slot >= capacity_ ? slot - capacity_ : slot;
  }

  std::size_t next_capacity(std::uint64_t window) const noexcept {
    const std::size_t doubled =
        capacity_ == 0 ? initial_capacity
                       : (capacity_ > std::numeric_limits<std::size_t>::max() / 2
                              ? std::numeric_limits<std::size_t>::max()
                              : capacity_ * 2);
    return std::min<std::size_t>(doubled, window);
  }

  // Moves the rows, oldest first, into a new buffer of `capacity` rows.
  void grow_to(std::size_t capacity) {
    auto data = std::make_unique_for_overwrite<double[]>(capacity * Lanes);
    copy_rows_into(data.get());
    data_ = std::move(data);
    capacity_ = capacity;
    head_ = 0;
  }

  void copy_rows_into(double* out) const noexcept {
    // At most two contiguous runs: from head to the end of the buffer, then
    // from the start of the buffer.
    const std::size_t first_run = std::min(size_, capacity_ - head_);
    const double* data = data_.get();
    if (first_run > 0) {
      out = std::copy_n(data + head_ * Lanes, first_run * Lanes, out);
    }
    if (size_ > first_run) std::copy_n(data, (size_ - first_run) * Lanes, out);
  }

  void copy_from(const RingBuffer& other) {
    std::unique_ptr<double[]> data;
    if (other.size_ > 0) {
      data = std::make_unique_for_overwrite<double[]>(other.capacity_ * Lanes);
      other.copy_rows_into(data.get());
    }
    data_ = std::move(data);
    capacity_ = other.size_ > 0 ? other.capacity_ : 0;
    head_ = 0;
    size_ = other.size_;
  }

  std::unique_ptr<double[]> data_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;  // slot of the oldest row
  std::size_t size_ = 0;
};

}  // namespace fenmor
