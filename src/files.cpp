// Reading a package from a path, and replacing a package file atomically.
#include <fcntl.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <capnp/serialize.h>
#include <fmt/format.h>
#include <kj/io.h>

#include "torv_package/application.hpp"
#include "writer.hpp"

namespace torv_package {
namespace {

PackageError os_error(int code) { return PackageError(std::error_code(code, std::generic_category())); }

// Writes to a file descriptor and keeps the OS error of a failed write, so that a full
// disk is reported as such rather than as a stream failure.
class FdSink final : public kj::OutputStream {
 public:
  explicit FdSink(int fd) : fd_(fd) {}

  void write(const void* buffer, size_t size) override {
    const kj::ArrayPtr<const kj::byte> piece(static_cast<const kj::byte*>(buffer), size);
    write(kj::arrayPtr(&piece, 1));
  }

  // Many pieces per system call; a short write goes on where it stopped.
  void write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) override {
    std::vector<iovec> rest;
    rest.reserve(pieces.size());
    for (const auto& piece : pieces) {
      if (piece.size() != 0) rest.push_back(iovec{const_cast<kj::byte*>(piece.begin()), piece.size()});
    }
    std::size_t first = 0;
    while (first < rest.size()) {
      const int count = static_cast<int>(std::min<std::size_t>(rest.size() - first, IOV_MAX));
      ssize_t n = ::writev(fd_, rest.data() + first, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : EIO;
        kj::throwFatalException(KJ_EXCEPTION(FAILED, "write failed"));
      }
      for (; first < rest.size() && static_cast<std::size_t>(n) >= rest[first].iov_len; ++first) {
        n -= static_cast<ssize_t>(rest[first].iov_len);
      }
      if (n > 0) {
        rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + n;
        rest[first].iov_len -= static_cast<std::size_t>(n);
      }
    }
  }

  int error = 0;

 private:
  int fd_;
};

// A file created next to the target and removed again unless it was renamed over it.
class TempFile {
 public:
  explicit TempFile(const std::filesystem::path& target) {
    const std::filesystem::path folder = target.parent_path();
    std::random_device entropy;
    std::mt19937_64 random((std::uint64_t{entropy()} << 32) ^ entropy() ^ static_cast<std::uint64_t>(getpid()));
    for (int attempt = 0; attempt < 16; ++attempt) {
      path_ = folder / fmt::format(".{}.{:016x}.tmp", target.filename().string(), random());
      // 0666 before the umask: the permissions of any newly created file.
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) error = errno;
    created_ = fd_ >= 0;
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (created_ && !renamed_) ::unlink(path_.c_str());
  }

  int fd() const { return fd_; }

  // Flushes the contents to disk and closes the file.
  bool sync_and_close() {
    const bool ok = ::fsync(fd_) == 0;
    if (!ok) error = errno;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && ok) {
      error = errno;
      return false;
    }
    return ok;
  }

  bool rename_to(const std::filesystem::path& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      error = errno;
      return false;
    }
    renamed_ = true;
    return true;
  }

  int error = 0;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool created_ = false;
  bool renamed_ = false;
};

// Makes a rename in `folder` durable.
int sync_folder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

}  // namespace

Result<Application> Application::read_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error(errno));
  return read(kj::heap<kj::FdInputStream>(kj::AutoCloseFd(fd)));
}

Result<Application> Application::read_file(const std::filesystem::path& path, ReadDetails& details) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error(errno));
  return read(kj::heap<kj::FdInputStream>(kj::AutoCloseFd(fd)), details);
}

Result<void> Application::write_file(const std::filesystem::path& path) const {
  // Built in full before the folder is touched: an invalid model leaves no trace.
  auto message = build_message(*this);
  if (!message) return std::unexpected(std::move(message).error());
  return write_built_file(*message, path);
}

Result<void> write_built_file(BuiltMessage& message, const std::filesystem::path& path) {
  TempFile temp(path);
  if (temp.fd() < 0) return std::unexpected(os_error(temp.error));
  FdSink sink(temp.fd());
  try {
    message.write_to(sink);
  } catch (kj::Exception& exception) {
    if (sink.error != 0) return std::unexpected(os_error(sink.error));
    return std::unexpected(PackageError(kj::mv(exception)));
  }
  if (!temp.sync_and_close() || !temp.rename_to(path)) return std::unexpected(os_error(temp.error));
  if (const int error = sync_folder(path.parent_path()); error != 0) {
    return std::unexpected(os_error(error));
  }
  return {};
}

}  // namespace torv_package
