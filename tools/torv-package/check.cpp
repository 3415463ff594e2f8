// torv-package check: validates packages in place, one line each.
#include <string>
#include <vector>

#include "commands.hpp"
#include "output.hpp"
#include "sigbus.hpp"

namespace torv_package::cli {
int check(const std::vector<std::string>& paths) {
  Output out;
  bool refused = false;
  for (const std::string& path : paths) {
    // A package shrunk under its mapping is named in the report.
    tools::set_sigbus_report(fmt::format("torv-package: package {} changed while it was read\n", shown(path)));
    ReadDetails details;  // known once the message is framed, also for a refused package
    const auto view = PackageView::open(path, details);
    if (view) {
      out.print("{}: ok\n", shown(path));
    } else {
      refused = true;
      out.print("{}: {}\n", shown(path), describe(view.error()));
    }
    // Each line as soon as its package is done: a long run that is cut short keeps them.
    if (const auto error = out.finish()) return write_failure(*error);
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
