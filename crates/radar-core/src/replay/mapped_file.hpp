#pragma once
// A local file's bytes mapped into memory, read-only.
//
// A shard of a replay by parts reads every part of the input; reading a file
// through read() copies each byte from the page cache into a buffer first,
// which cost about a fifth of a shard's time. Mapped, the shards of one
// machine read the page cache itself. The file must not shrink while it is
// mapped: reading a page past its new end kills the process (SIGBUS), as it
// does for every program that maps files.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace fenmor::replay {

class MappedFile {
 public:
  // The file's bytes as they are now; the errno of what failed otherwise
  // (ENOSYS where files cannot be mapped).
  static std::expected<MappedFile, int> open(const std::string& path);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::string_view bytes() const noexcept { return {data_, size_}; }

 private:
  MappedFile(const char* data, std::size_t size) noexcept : data_(data), size_(size) {}
  void unmap() noexcept;

  const char* data_ = nullptr;  // nullptr for an empty file: nothing is mapped
  std::size_t size_ = 0;
};

}  // namespace fenmor::replay
