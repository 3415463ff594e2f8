// Replacing a file atomically: a temporary file beside the target, flushed and renamed.
#include "file_replacement.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <expected>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <kj/debug.h>

namespace torv_package {
namespace {

PackageError os_error(int code, std::string_view action = "write") {
  return PackageError(std::error_code(code, std::generic_category()), action);
}

// Symbolic links followed at the end of a target before it is refused with ELOOP, as
// many as the kernel follows in one path.
constexpr int kMaxLinks = 40;

// What a replacement replaces: the file its path names once any symbolic links at the
// end are followed, and that file's status when it exists.
struct Target {
  std::filesystem::path path;
  std::optional<struct stat> existing;
};

// Follows the symbolic links at the end of `path`, each link's text taken relative to
// the link's own folder (folders along the way are left to the kernel). Refuses what a
// rename would destroy or could not sensibly replace: a directory (EISDIR), and a FIFO,
// socket or device (EINVAL), whose readers expect a stream, not a new file.
//
// What the kernel resolves is checked first: a link's text is not always a path to what
// it leads to (/proc/self/fd/N names a pipe as "pipe:[...]" and a deleted file as
// "NAME (deleted)"), and such a link's end is refused rather than guessed at.
std::expected<Target, int> resolve_target(std::filesystem::path path) {
  if (path.empty()) return std::unexpected(ENOENT);
  struct stat seen {};
  const bool exists = ::stat(path.c_str(), &seen) == 0;
  if (exists) {
    if (S_ISDIR(seen.st_mode)) return std::unexpected(EISDIR);
    if (!S_ISREG(seen.st_mode)) return std::unexpected(EINVAL);
    if (seen.st_nlink == 0) return std::unexpected(ENOENT);  // open somewhere, but deleted
  }
  for (int links = 0;; ++links) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      // Nothing there (or a dangling link's end): created in its folder, whose absence
      // the temporary file's creation reports.
      if (errno == ENOENT) return Target{std::move(path), std::nullopt};
      return std::unexpected(errno);
    }
    if (S_ISREG(st.st_mode)) {
      if (exists && (st.st_dev != seen.st_dev || st.st_ino != seen.st_ino)) return std::unexpected(EINVAL);
      return Target{std::move(path), st};
    }
    if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
    if (!S_ISLNK(st.st_mode)) return std::unexpected(EINVAL);
    if (links == kMaxLinks) return std::unexpected(ELOOP);
    char text[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), text, sizeof text);
    if (n < 0) return std::unexpected(errno);
    if (static_cast<std::size_t>(n) == sizeof text) return std::unexpected(ENAMETOOLONG);
    std::filesystem::path next(std::string(text, static_cast<std::size_t>(n)));
    path = next.is_absolute() ? std::move(next) : path.parent_path() / next;
  }
}

// Gives the new file the replaced one's owner, group and mode. Where the process may not
// give the file away (EPERM, or EINVAL for an id outside its user namespace) it keeps
// what it can, and drops a set-user-ID or set-group-ID bit that would otherwise be
// granted to the writer's ids rather than the original ones.
int keep_metadata(int fd, const struct stat& old) {
  const auto refused = [](int error) { return error == EPERM || error == EINVAL; };
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (!refused(errno)) return errno;
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && !refused(errno)) return errno;
  }
  struct stat now {};
  if (::fstat(fd, &now) != 0) return errno;
  mode_t mode = old.st_mode & 07777;
  if (now.st_uid != old.st_uid) mode &= ~mode_t{S_ISUID};
  if (now.st_gid != old.st_gid) mode &= ~mode_t{S_ISGID};
  return ::fchmod(fd, mode) == 0 ? 0 : errno;
}

// Makes a rename in `folder` durable.
int sync_folder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

}  // namespace

void FdSink::write(const void* buffer, size_t size) {
  const kj::ArrayPtr<const kj::byte> piece(static_cast<const kj::byte*>(buffer), size);
  write(kj::arrayPtr(&piece, 1));
}

void FdSink::write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) {
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

Result<FileReplacement> FileReplacement::begin(const std::filesystem::path& path) {
  auto target = resolve_target(path);
  if (!target) return std::unexpected(os_error(target.error()));
  FileReplacement file(std::move(target->path), target->existing);
  // A replacement starts private to the writer, so that no one the old file kept out can
  // open it, and takes the old file's ids and mode before any data goes in.
  if (const int error = file.create_temporary(file.existing_ ? 0600 : 0666); error != 0) {
    return std::unexpected(os_error(error));
  }
  if (file.existing_) {
    if (const int error = keep_metadata(file.fd_, *file.existing_); error != 0) return std::unexpected(os_error(error));
  }
  return file;
}

// Its name is ".<target name>.<16 hex digits>.tmp", the target name cut short enough that
// the whole stays within NAME_MAX. `mode` is before the umask.
int FileReplacement::create_temporary(mode_t mode) {
  constexpr std::size_t added_bytes = std::string_view("..0123456789abcdef.tmp").size();
  const std::filesystem::path folder = target_.parent_path();
  std::string name = target_.filename().native();
  if (name.size() > NAME_MAX - added_bytes) name.resize(NAME_MAX - added_bytes);
  std::random_device entropy;
  std::mt19937_64 random((std::uint64_t{entropy()} << 32) ^ entropy() ^ static_cast<std::uint64_t>(getpid()));
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary_ = folder / fmt::format(".{}.{:016x}.tmp", name, random());
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd_ >= 0 || errno != EEXIST) break;
  }
  if (fd_ < 0) return errno;
  created_ = true;
  return 0;
}

FileReplacement::FileReplacement(FileReplacement&& other) noexcept
    : target_(std::move(other.target_)),
      existing_(other.existing_),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      created_(std::exchange(other.created_, false)),
      renamed_(other.renamed_) {}

FileReplacement::~FileReplacement() {
  if (fd_ >= 0) ::close(fd_);
  if (created_ && !renamed_) ::unlink(temporary_.c_str());
}

Result<void> FileReplacement::commit() {
  const int fd = std::exchange(fd_, -1);
  int error = ::fsync(fd) == 0 ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) return std::unexpected(os_error(error));
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return std::unexpected(os_error(errno, "replace"));
  renamed_ = true;
  // The new file is in place from here on; only its durability is in doubt.
  if (const int synced = sync_folder(target_.parent_path()); synced != 0) {
    return std::unexpected(PackageError(std::error_code(synced, folder_sync_category())));
  }
  return {};
}

}  // namespace torv_package
