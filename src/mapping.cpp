#include "mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

namespace torv_package {

FileMapping::FileMapping(FileMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

FileMapping::~FileMapping() { reset(); }

void FileMapping::reset() noexcept {
  if (data_ != nullptr) munmap(const_cast<unsigned char*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

Result<OpenedPackage> open_package_file(const std::filesystem::path& path) {
  const auto io_error = [](int code, std::string_view action = "read") {
    return std::unexpected(PackageError(std::error_code(code, std::generic_category()), action));
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return io_error(errno, "open");
  // Closed by hand: a failing close must not throw, as kj::AutoCloseFd's destructor does.
  // A mapping keeps its own reference to the file, so the result of close changes nothing.
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return io_error(error);
  }
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p != MAP_FAILED) {
      ::close(fd);
      // Read once from front to back, mostly: a larger read-ahead pays.
      madvise(p, size, MADV_SEQUENTIAL);
      return OpenedPackage(FileMapping(static_cast<const unsigned char*>(p), size));
    }
    // A file system that cannot map gives the file to the stream reader.
  }
  try {
    return OpenedPackage(kj::Own<kj::InputStream>(kj::heap<kj::FdInputStream>(kj::AutoCloseFd(fd))));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return io_error(ENOMEM);
  }
}

}  // namespace torv_package
