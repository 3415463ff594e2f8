#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
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
  // changed and built, and write() compares and mends what differs behind it as it goes.
  // The copy goes in parts of `copy_part` bytes, each one done letting the writing behind
  // it go on.
  static constexpr std::uint64_t default_copy_part = std::uint64_t{32} << 20;
  static Result<std::unique_ptr<PackageCopy>> read_file(const std::filesystem::path& path, int output = -1,
                                                        std::uint64_t copy_part = default_copy_part);

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

  // How far the early copy has come: bytes at the output's start that hold the package's.
  // Whatever writes to the output below the copy's end waits for the copy to pass it.
  class Progress {
   public:
    void start(std::uint64_t bytes);
    // Records that `copied` bytes are in place; false once the copy is no longer wanted.
    bool advance(std::uint64_t copied);
    void stop();
    // Asks the copy to stop after the part it is copying.
    void cancel();
    // What the copy holds once it holds `end` bytes (or all it will copy, if less) or has
    // stopped, whichever is first.
    std::uint64_t wait_for(std::uint64_t end);

   private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t copied_ = 0;
    std::uint64_t target_ = 0;
    bool running_ = false;
    bool cancelled_ = false;
  };

 private:
  PackageCopy() = default;
  void start_copy(int output, std::uint64_t bytes, std::uint64_t part);
  void finish_copy();

  FileMapping mapping_;  // a mapped file, open as file_ to copy from
  int file_ = -1;
  WordBuffer buffer_;  // or a stream's message
  std::optional<std::thread> copier_;
  Progress progress_;
};

}  // namespace torv_package
