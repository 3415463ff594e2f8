// torv-package check: reads and validates packages, one line each.
#include <string>
#include <vector>

#include "commands.hpp"
#include "output.hpp"

namespace torv_package::cli {

int check(const std::vector<std::string>& paths) {
  Output out;
  bool refused = false;
  for (const std::string& path : paths) {
    const auto app = Application::read_file(path);
    if (app) {
      out.print("{}: ok\n", path);
    } else {
      refused = true;
      out.print("{}: {}\n", path, describe(app.error()));
    }
  }
  if (const auto error = out.finish()) return write_failure(*error);
  return refused ? exit_refused : exit_ok;
}

}  // namespace torv_package::cli
