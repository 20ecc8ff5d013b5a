#include "crates/radar-core/src/replay/mapped_file.hpp"

#include <cerrno>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define FENMOR_CAN_MAP_FILES 1
#endif

namespace fenmor::replay {

#if defined(FENMOR_CAN_MAP_FILES)

std::expected<MappedFile, int> MappedFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const int error = errno;
    ::close(fd);
    return std::unexpected(error);
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(fd);
    return std::unexpected(S_ISDIR(status.st_mode) ? EISDIR : ENODEV);
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size == 0) {
    ::close(fd);
    return MappedFile(nullptr, 0);
  }
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int error = errno;
  ::close(fd);  // the mapping keeps the file
  if (data == MAP_FAILED) return std::unexpected(error);
  // Read once, front to back: the kernel may read ahead further.
  ::madvise(data, size, MADV_SEQUENTIAL);
  return MappedFile(static_cast<const char*>(data), size);
}

void MappedFile::unmap() noexcept {
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

#else

std::expected<MappedFile, int> MappedFile::open(const std::string&) { return std::unexpected(ENOSYS); }

void MappedFile::unmap() noexcept {}

#endif

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    unmap();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() { unmap(); }

}  // namespace fenmor::replay
