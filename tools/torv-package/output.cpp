#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace torv_package::cli {

Output::Output() { buffer_.reserve(flush_at + 4096); }

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
    const ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
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

std::string os_error_text(int error) {
  return fmt::format("Os {{ code: {}, message: {} }}", error, quote_escaped(std::generic_category().message(error)));
}

int write_failure(int error) {
  report("cannot write to stdout: " + os_error_text(error));
  return exit_trouble;
}

std::string describe(const PackageError& error) {
  if (error.location().empty()) return error.debug_string();
  return fmt::format("at {}: {}", error.location(), error.debug_string());
}

void report_unreadable(std::string_view path, const PackageError& error) {
  report(fmt::format("cannot read package {}: {}", shown(path), describe(error)));
}

std::string opened_path(const std::string& path) { return path == "-" ? "/dev/stdin" : path; }

std::optional<PackageView> open_or_report(const std::string& path) {
  auto view = PackageView::open(opened_path(path));
  if (view) return std::move(*view);
  report_unreadable(path, view.error());
  return std::nullopt;
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

}  // namespace torv_package::cli
