#pragma once

#include <cstddef>
#include <filesystem>
#include <variant>

#include <kj/io.h>
#include <kj/memory.h>

#include "torv_package/error.hpp"

namespace torv_package {

// A read-only, private mapping of a whole file; unmapped when destroyed.
class FileMapping {
 public:
  FileMapping() = default;
  FileMapping(const unsigned char* data, std::size_t size) noexcept : data_(data), size_(size) {}
  FileMapping(FileMapping&& other) noexcept;
  FileMapping& operator=(FileMapping&& other) noexcept;
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping();

  const unsigned char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  void reset() noexcept;

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// A package file opened for reading: mapped when it is a regular file the kernel can map
// (its descriptor closed already), else a stream to read it from (a pipe, a terminal, a
// file that reports no size, as /proc files do).
using OpenedPackage = std::variant<FileMapping, kj::Own<kj::InputStream>>;

// Failure to open, stat or map is an Io error. With `mapped_fd`, a mapped file's
// descriptor is kept open and given there, for the caller to close.
Result<OpenedPackage> open_package_file(const std::filesystem::path& path, int* mapped_fd = nullptr);

}  // namespace torv_package
