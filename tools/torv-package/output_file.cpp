#include "output_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "file_replacement.hpp"
#include "output.hpp"
#include "sigbus.hpp"

namespace torv_package::cli {

struct OutputFile::State {
  std::optional<std::string> path;
  std::optional<FileReplacement> file;  // for a named file
  FdSink sink;

  // A package that shrinks under its mapping ends the process from the SIGBUS handler,
  // which then removes the temporary file too.
  void guard() { tools::set_sigbus_cleanup(file ? file->temporary().native() : std::string()); }
  ~State() {
    if (path) tools::set_sigbus_cleanup({});
  }
};

namespace {

// The regular file that a command-line path names ("-" standard input), if it names one.
std::optional<struct stat> regular_file(std::string_view path) {
  struct stat st {};
  const bool found = path == "-" ? ::fstat(STDIN_FILENO, &st) == 0 : ::stat(std::string(path).c_str(), &st) == 0;
  if (!found || !S_ISREG(st.st_mode)) return std::nullopt;
  return st;
}

// The input that is the same file as `output`, if one is.
std::optional<std::string_view> same_file(const struct stat& output, std::initializer_list<std::string_view> inputs) {
  for (const std::string_view input : inputs) {
    const auto st = regular_file(input);
    if (st && st->st_dev == output.st_dev && st->st_ino == output.st_ino) return input;
  }
  return std::nullopt;
}

std::string input_name(std::string_view input) { return input == "-" ? "standard input" : "input " + shown(input); }

}  // namespace

std::optional<OutputFile> OutputFile::open(const std::optional<std::string>& path,
                                           std::initializer_list<std::string_view> inputs) {
  if (!path) {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
      if (const auto input = same_file(st, inputs)) {
        report(fmt::format("standard output is the same file as {}; write to another file",
                           input_name(*input)));
        return std::nullopt;
      }
    }
    return OutputFile(std::make_unique<State>(std::nullopt, std::nullopt, FdSink(STDOUT_FILENO)));
  }
  // Checked before the temporary file is made; the replacement follows links as stat does.
  if (const auto st = regular_file(*path)) {
    if (const auto input = same_file(*st, inputs)) {
      report(fmt::format("output {} is the same file as {}; write to another file", shown(*path),
                         input_name(*input)));
      return std::nullopt;
    }
  }
  auto file = FileReplacement::begin(*path);
  if (!file) {
    report(fmt::format("cannot write {}: {}", shown(*path), os_error_text(file.error().io()->value())));
    return std::nullopt;
  }
  const int fd = file->fd();
  auto state = std::make_unique<State>(path, std::move(*file), FdSink(fd));
  state->guard();
  return OutputFile(std::move(state));
}

OutputFile::OutputFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;
OutputFile::~OutputFile() = default;

int OutputFile::fd() const { return state_->file ? state_->file->fd() : STDOUT_FILENO; }

kj::OutputStream& OutputFile::stream() { return state_->sink; }

bool OutputFile::stream_failed() const { return state_->sink.error != 0; }

int OutputFile::finish(std::optional<int> error) {
  if (!error && state_->sink.error != 0) error = state_->sink.error;
  auto& file = state_->file;
  const auto& path = state_->path;
  if (!file) return error ? write_failure(*error) : exit_ok;
  if (error) {
    report(fmt::format("cannot write {}: {}", shown(*path), os_error_text(*error)));
    file.reset();  // removes the temporary file
    return exit_trouble;
  }
  tools::set_sigbus_cleanup({});  // nothing is read from here on
  if (const auto done = file->commit(FileReplacement::Sync::when_replacing); !done) {
    const std::error_code& code = *done.error().io();
    report(code.category() == folder_sync_category()
               ? fmt::format("{} written, but its folder could not be synced: {}", shown(*path),
                             os_error_text(code.value()))
               : fmt::format("cannot write {}: {}", shown(*path), os_error_text(code.value())));
    return exit_trouble;
  }
  return exit_ok;
}

}  // namespace torv_package::cli
