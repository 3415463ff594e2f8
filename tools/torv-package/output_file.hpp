#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <kj/io.h>

namespace torv_package::cli {

// Where a command writes a file it makes: the file that `-o` names, or standard output.
//
// A named file is written through a temporary file beside it, which is renamed over the
// target only once complete, keeping the target's mode (as Application::write_file
// replaces a package), and flushed to disk first when it replaces a file, so that a crash
// cannot lose the old contents (a new file is left to the kernel, as cp leaves it, and
// costs no more than a copy): the output streams through, never held
// in memory, and a failure at any point removes the temporary file and leaves the target
// as it was. Before anything is written, an output that is the same file (device and
// inode) as one of the command's inputs is refused, and so is standard output when it is
// a regular file that is one (`map P >>P`): replacing an input destroys it, and appending
// to a mapped input corrupts what is being read.
//
//   auto out = OutputFile::open(output, {path});
//   if (!out) return exit_trouble;   // refused, or the temporary file not made; reported
//   ...write to out->stream(), or to out->fd() keeping the OS error of a failed write...
//   return out->finish(error);       // renamed into place; exit_ok or exit_trouble
class OutputFile {
 public:
  // `path` is the file -o names, standard output when empty; `inputs` are the command's
  // input paths as given on its command line ("-" for standard input). Reports a refusal
  // or a failure to create the temporary file, and then gives nothing.
  static std::optional<OutputFile> open(const std::optional<std::string>& path,
                                        std::initializer_list<std::string_view> inputs);

  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) noexcept;
  ~OutputFile();  // an unfinished named file is removed

  int fd() const;
  // The same, as a stream whose failed write throws kj::Exception and is remembered.
  kj::OutputStream& stream();
  // Whether a write to stream() failed: finish() reports it.
  bool stream_failed() const;

  // Completes the output once the command has written it: `error` is the OS error of a
  // failed write to fd(), if any (a failed write to stream() is known here). A named
  // file is renamed over its target only when nothing failed. Reports a failure; returns
  // exit_ok or exit_trouble.
  int finish(std::optional<int> error = std::nullopt);

 private:
  struct State;
  explicit OutputFile(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace torv_package::cli
