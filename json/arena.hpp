#pragma once
// A bump allocator for the nodes and strings of one document. reset() keeps the
// largest block, so reading texts of a steady size stops calling malloc.

#include <cstddef>
#include <memory>
#include <vector>

namespace fenmor::json {

class Arena {
 public:
  Arena() = default;
  Arena(Arena&&) noexcept = default;
  Arena& operator=(Arena&&) noexcept = default;

  void* allocate(std::size_t size, std::size_t align);

  template <class T>
  T* allocate_array(std::size_t count) {
    return static_cast<T*>(allocate(count * sizeof(T), alignof(T)));
  }

  void reset() noexcept;

 private:
  struct Block {
    std::unique_ptr<std::byte[]> data;
    std::size_t size = 0;
  };
  void* allocate_slow(std::size_t size, std::size_t align);

  std::vector<Block> blocks_;
  std::byte* cursor_ = nullptr;
  std::byte* end_ = nullptr;
};

}  // namespace fenmor::json
