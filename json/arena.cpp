#include "json/arena.hpp"

#include <algorithm>
#include <cstdint>

namespace fenmor::json {

namespace {
constexpr std::size_t first_block_size = 4096;
// A radar that once read a huge command should not hold its memory forever.
constexpr std::size_t largest_kept_block = std::size_t{16} << 20;

std::byte* align_up(std::byte* p, std::size_t align) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  const auto aligned = (address + align - 1) & ~(static_cast<std::uintptr_t>(align) - 1);
  return p + (aligned - address);
}
}  // namespace

void* Arena::allocate(std::size_t size, std::size_t align) {
  if (cursor_ != nullptr) {
    std::byte* start = align_up(cursor_, align);
    if (start <= end_ && static_cast<std::size_t>(end_ - start) >= size) {
      cursor_ = start + size;
      return start;
    }
  }
  return allocate_slow(size, align);
}

void* Arena::allocate_slow(std::size_t size, std::size_t align) {
  // Blocks double in size so that a document of n bytes needs O(log n) blocks.
  const std::size_t previous = blocks_.empty() ? first_block_size / 2 : blocks_.back().size;
  const std::size_t block_size = std::max(previous * 2, size + align);
  Block block{std::make_unique_for_overwrite<std::byte[]>(block_size), block_size};
  cursor_ = block.data.get();
  end_ = cursor_ + block_size;
  blocks_.push_back(std::move(block));
  std::byte* start = align_up(cursor_, align);
  cursor_ = start + size;
  return start;
}

void Arena::reset() noexcept {
  if (blocks_.empty()) return;
  // Keep only the largest block: the next document of the same size fits it.
  auto largest = std::max_element(blocks_.begin(), blocks_.end(),
                                  [](const Block& a, const Block& b) { return a.size < b.size; });
  Block keep = std::move(*largest);
  blocks_.clear();
  if (keep.size > largest_kept_block) {
    cursor_ = end_ = nullptr;
    return;
  }
  blocks_.push_back(std::move(keep));
  cursor_ = blocks_.back().data.get();
  end_ = cursor_ + blocks_.back().size;
}

}  // namespace fenmor::json
