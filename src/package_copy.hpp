#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "data_elsewhere.hpp"
#include "framing.hpp"
#include "mapping.hpp"
#include "torv_package/application.hpp"
#include "writer.hpp"

namespace torv_package {

// A package read to be changed and written again: its records copied into a model, its
// segment data left in the file. The writer lays a package out the same way every time,
// so a change of a few records leaves most of the new package equal to the old one at the
// same place: writing copies those parts file to file in the kernel, as cp copies, and
// writes the rest (see package_copy.cpp). It costs about a copy of the file and holds
// little more than the records in memory; the bytes written are those Application::write
// gives for the same model with its data in place.
class PackageCopy {
 public:
  // Reads the package at `path` ("/dev/stdin" and other streams too) as
  // Application::read_file reads it, with the same errors at the same places, but for
  // the consistency rules: those are applied to the changed model, by build(). With
  // `output`, the file descriptor the package will be written to by write(), a mapped
  // package starts to be copied there at once, on another thread, while it is read,
  // changed and built; write() then mends what differs.
  static Result<std::unique_ptr<PackageCopy>> read_file(const std::filesystem::path& path, int output = -1);

  PackageCopy(const PackageCopy&) = delete;
  PackageCopy& operator=(const PackageCopy&) = delete;
  ~PackageCopy();  // waits for the early copy

  // Change records here. A segment's data member stays empty, its bytes are `data`'s; a
  // change must not move a segment (add or remove tiles or segments).
  Application model;
  DataElsewhere data;

  // Validates the model as Application::write does, and builds its message.
  Result<BuiltMessage> build() const { return build_message(model, data); }

  // Writes a message that build() gave to `output` (the descriptor given to read_file, if
  // one was), from its start: afterwards the file holds exactly the message. The error of
  // a failed write is Io.
  Result<void> write(BuiltMessage& message, int output);

 private:
  PackageCopy() = default;
  void start_copy(int output, std::uint64_t bytes);
  std::uint64_t finish_copy();

  FileMapping mapping_;  // a mapped file, open as file_ to copy from
  int file_ = -1;
  WordBuffer buffer_;  // or a stream's message
  std::optional<std::thread> copier_;
  std::uint64_t copied_ = 0;  // bytes at the output's start that the early copy wrote
};

}  // namespace torv_package
