#pragma once
// A read-only view of one history kept in a ring buffer: index 0 is the
// oldest value, size() - 1 the newest.

#include <cstddef>

namespace fenmor {

class HistoryView {
 public:
  HistoryView() = default;
  // `data` points at the history's value in slot 0; slot s holds its value at
  // data[s * stride] (several histories may share one interleaved buffer).
  // The oldest value sits in slot `head`; slots wrap around at `capacity`.
  HistoryView(const double* data, std::size_t capacity, std::size_t head, std::size_t size,
              std::size_t stride) noexcept
      : data_(data), capacity_(capacity), head_(head), size_(size), stride_(stride) {}

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  double operator[](std::size_t i) const noexcept {
    std::size_t slot = head_ + i;
    if (slot >= capacity_) slot -= capacity_;
    return data_[slot * stride_];
  }
  double newest() const noexcept { return (*this)[size_ - 1]; }

 private:
  const double* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t stride_ = 1;
};

}  // namespace fenmor
