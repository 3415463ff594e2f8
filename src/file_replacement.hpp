#pragma once

// Replacing a file atomically, for the library's write_file and for the tools' outputs:
// the new contents go to a temporary file beside the target, which is flushed to disk and
// renamed over the target once complete, so that the target is either as it was or whole.

#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include <kj/io.h>

#include "torv_package/error.hpp"

namespace torv_package {

// Writes to a file descriptor and keeps the OS error of a failed write, so that a full
// disk is reported as such rather than as a stream failure. A failed write throws
// kj::Exception after setting `error`.
class FdSink final : public kj::OutputStream {
 public:
  explicit FdSink(int fd) : fd_(fd) {}

  void write(const void* buffer, size_t size) override;
  // Many pieces per system call; a short write goes on where it stopped.
  void write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) override;

  int error = 0;

 private:
  int fd_;
};

// A file being written in place of the one at a path, as Application::write_file
// describes: symbolic links at the end of the path are followed, a directory, FIFO,
// socket or device is refused, and the new file takes the old one's owner, group and mode.
// Until commit() succeeds, the target is untouched; destroying an uncommitted replacement
// removes its temporary file.
class FileReplacement {
 public:
  // Resolves the target and creates the temporary file; Io errors.
  static Result<FileReplacement> begin(const std::filesystem::path& path);

  FileReplacement(FileReplacement&& other) noexcept;
  FileReplacement& operator=(FileReplacement&&) = delete;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();

  // The temporary file, open for writing, and its path.
  int fd() const { return fd_; }
  const std::filesystem::path& temporary() const { return temporary_; }

  // When commit() flushes the new file to disk: always (a file a crash must not lose), or
  // only when it replaces one (a crash must not lose the old one's contents; a file made
  // anew is then written as cp writes one, and a crash loses no more than it).
  enum class Sync { always, when_replacing };

  // Flushes the temporary file to disk (as `sync` says), renames it over the target and
  // syncs the folder. A failure before the rename leaves the target as it was (Io with
  // the OS error); a failed sync of the folder after it is Io with folder_sync_category().
  Result<void> commit(Sync sync = Sync::always);

 private:
  FileReplacement(std::filesystem::path target, std::optional<struct stat> existing)
      : target_(std::move(target)), existing_(existing) {}
  int create_temporary(mode_t mode);

  std::filesystem::path target_;
  std::optional<struct stat> existing_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  bool created_ = false;
  bool renamed_ = false;
};

}  // namespace torv_package
