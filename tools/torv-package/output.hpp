#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "torv_package/application.hpp"
#include "torv_package/faults.hpp"
#include "torv_package/view.hpp"

namespace torv_package::cli {

// Exit statuses, as diff(1) has them: 0 nothing wrong, 1 a refused or differing package,
// 2 trouble (a bad command line, a package that cannot be read by diff).
inline constexpr int exit_ok = 0;
inline constexpr int exit_refused = 1;
inline constexpr int exit_trouble = 2;

// Standard output (or another file descriptor) through one large buffer; a write error (a
// closed pipe, a full disk, a file at its size limit) is remembered and reported once, by
// the caller.
class Output {
 public:
  explicit Output(int fd = STDOUT_FILENO);
  void write(std::string_view text);
  template <class... Args>
  void print(fmt::format_string<Args...> format, Args&&... args) {
    fmt::format_to(std::back_inserter(buffer_), format, std::forward<Args>(args)...);
    if (buffer_.size() >= flush_at) flush();
  }
  // Writes out what is buffered; returns the OS error number of the first failed write,
  // if any. May be called after any line, for output that must not wait for the buffer.
  std::optional<int> finish();
  // Whether a write has failed: nothing more will reach the output.
  bool failed() const { return error_.has_value(); }

 private:
  static constexpr std::size_t flush_at = std::size_t{1} << 20;
  void flush();
  void send(std::string_view text);
  int fd_;
  std::string buffer_;
  std::optional<int> error_;
};

// Writes "torv-package: <text>" and a line end to standard error.
void report(std::string_view text);

// The system's text for an OS error number: "No such file or directory".
std::string os_error_text(int error);

// The report for a failed write to standard output, and its status. A closed pipe (EPIPE)
// ends the process quietly by SIGPIPE, as it ends cat: the reader has gone on purpose.
int write_failure(int error);

// Reports an error of the package at `path` as "PATH: [LOCATION: ]SENTENCE", the path as
// shown() shows it.
void report_package_error(std::string_view path, const PackageError& error);

// The file a command-line path names: standard input for "-". Paths are shown as given.
std::string opened_path(const std::string& path);

// Opens the package at `path` as a validated view; on failure reports it as
// report_package_error does.
std::optional<PackageView> open_or_report(const std::string& path);
// The same, but the view is given whatever the consistency rules find, each of their
// faults going to `faults`; what reading finds (framing, header, UTF-8, enums, the memory
// budget) still refuses it, since nothing of it could be shown safely.
std::optional<PackageView> open_or_report(const std::string& path, FaultSink& faults);

// A FaultSink that calls `f(error)` for each fault, and goes on while it returns true.
template <class F>
class EachFault final : public FaultSink {
 public:
  explicit EachFault(F f) : f_(std::move(f)) {}
  bool fault(PackageError error) override { return f_(std::move(error)); }

 private:
  F f_;
};

// "LOCATION: SENTENCE", or the sentence alone: the error's display form, escaped as
// sentence_text() escapes it.
std::string describe(const PackageError& error);

// A sentence for a terminal: as it is when every character prints as itself, else
// escaped as in an error's debug form, without the quotes, so that it stays one line.
std::string sentence_text(std::string_view text);

// `text` for a JSON string: as it is when it is UTF-8, else as shown() escapes it.
std::string json_text(std::string_view text);

// A command-line word inside a message: in single quotes when it prints as itself, else
// quoted and escaped, so that the message stays one line.
std::string quoted_word(std::string_view text);

// Text from a package for a terminal: as it is when every character prints as itself,
// else quoted and escaped as in an error's debug form.
std::string shown(std::string_view text);

}  // namespace torv_package::cli
