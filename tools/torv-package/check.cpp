// torv-package check: validates packages in place, one line each.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "commands.hpp"
#include "output.hpp"

namespace torv_package::cli {
namespace {

// What follows the message of a package that was refused. A refused view gives no
// counts, though the read found them once the message was framed; a regular file is read
// again for them. Any other stream has been consumed, and its counts are lost.
ReadDetails refused_details(const std::string& path) {
  ReadDetails details;
  std::error_code error;
  if (std::filesystem::is_regular_file(path, error)) (void)Application::read_file(path, details);
  return details;
}

}  // namespace

int check(const std::vector<std::string>& paths) {
  Output out;
  bool refused = false;
  for (const std::string& path : paths) {
    const auto view = PackageView::open(path);
    if (view) {
      out.print("{}: ok\n", shown(path));
    } else {
      refused = true;
      out.print("{}: {}\n", shown(path), describe(view.error()));
    }
    // Each line as soon as its package is done: a long run that is cut short keeps them.
    if (const auto error = out.finish()) return write_failure(*error);
    const ReadDetails details = view ? view->details() : refused_details(path);
    // Reading takes the first message and ignores the rest, which may be a mistake (two
    // packages concatenated, say).
    if (details.trailing_bytes != 0) {
      report(fmt::format("warning: {}: {}{} {} the package message", shown(path),
                         details.trailing_bytes_exact ? "" : "at least ", details.trailing_bytes,
                         details.trailing_bytes == 1 ? "byte follows" : "bytes follow"));
    }
  }
  return refused ? exit_refused : exit_ok;
}

}  // namespace torv_package::cli
