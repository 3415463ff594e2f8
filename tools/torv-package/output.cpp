#include "output.hpp"

#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace torv_package::cli {

Output::Output(int fd) : fd_(fd) { buffer_.reserve(flush_at + 4096); }

void Output::write(std::string_view text) {
  if (text.size() >= flush_at) {
    // Written as it is: the buffer never grows past its size.
    flush();
    send(text);
    return;
  }
  buffer_.append(text);
  if (buffer_.size() >= flush_at) flush();
}

void Output::flush() {
  send(buffer_);
  buffer_.clear();
}

void Output::send(std::string_view rest) {
  while (!rest.empty() && !error_) {
    const ssize_t n = ::write(fd_, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      break;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::optional<int> Output::finish() {
  flush();
  return error_;
}

void report(std::string_view text) {
  const std::string line = fmt::format("torv-package: {}\n", text);
  (void)!::write(STDERR_FILENO, line.data(), line.size());  // nowhere left to report a failure
}

std::string os_error_text(int error) { return std::generic_category().message(error); }

namespace {

// Ends the process by SIGPIPE, which the tool ignores while it runs so that a closed pipe
// shows up as a write error: the default action restored, the signal unblocked, raised.
void end_by_closed_pipe() {
  std::signal(SIGPIPE, SIG_DFL);
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigprocmask(SIG_UNBLOCK, &pipe_only, nullptr);
  std::raise(SIGPIPE);
}

}  // namespace

int write_failure(int error) {
  if (error == EPIPE) {
    end_by_closed_pipe();
    return exit_trouble;  // not reached: the signal's default action ends the process
  }
  report("cannot write to standard output: " + os_error_text(error));
  return exit_trouble;
}

std::string sentence_text(std::string_view text) {
  const std::string quoted = quote_escaped(text);
  if (quoted.size() == text.size() + 2 && text.find('"') == std::string_view::npos) return std::string(text);
  return quoted.substr(1, quoted.size() - 2);
}

std::string describe(const PackageError& error) {
  if (error.location().empty()) return sentence_text(error.message());
  return fmt::format("{}: {}", error.location(), sentence_text(error.message()));
}

void report_package_error(std::string_view path, const PackageError& error) {
  report(fmt::format("{}: {}", shown(path), describe(error)));
}

std::string opened_path(const std::string& path) { return path == "-" ? "/dev/stdin" : path; }

namespace {

std::optional<PackageView> opened_or_report(const std::string& path, Result<PackageView> view) {
  if (view) return std::move(*view);
  report_package_error(path, view.error());
  return std::nullopt;
}

}  // namespace

std::optional<PackageView> open_or_report(const std::string& path) {
  return opened_or_report(path, PackageView::open(opened_path(path)));
}

std::optional<PackageView> open_or_report(const std::string& path, FaultSink& faults) {
  ReadDetails details;
  return opened_or_report(path, PackageView::open(opened_path(path), details, faults));
}

std::string json_text(std::string_view text) {
  // quote_escaped writes \x{..} for bytes that are not UTF-8 and for nothing else.
  if (quote_escaped(text).find("\\x{") == std::string::npos) return std::string(text);
  return shown(text);
}

std::string shown(std::string_view text) {
  if (text.empty()) return "\"\"";
  const std::string quoted = quote_escaped(text);
  // Unchanged but for the quotes: nothing needed escaping.
  if (quoted.size() == text.size() + 2 && text.find('"') == std::string_view::npos) return std::string(text);
  return quoted;
}

std::string quoted_word(std::string_view text) {
  const std::string escaped = shown(text);
  return escaped == text ? fmt::format("'{}'", text) : escaped;
}

}  // namespace torv_package::cli
