// torv-package strip and set: a package changed and written again by the library's
// writer, its records read into memory and the rest copied file to file (PackageCopy), so
// that either costs about a copy of the package.
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "assignment.hpp"
#include "commands.hpp"
#include "output.hpp"
#include "output_file.hpp"
#include "package_copy.hpp"

namespace torv_package::cli {
namespace {

// Reads the package at `path`, lets `change` change its records, and writes the result
// where `target` says once the rules accept it. `change` returns a status, exit_ok to go on.
template <class Change>
int edit(const std::string& path, const EditTarget& target, Change&& change) {
  // Opened first, so that the package is copied there while it is read and changed; a
  // package refused leaves nothing behind but the temporary file, which goes.
  auto file = target.in_place ? OutputFile::open(path, {}) : OutputFile::open(target.output, {path});
  if (!file) return exit_trouble;
  auto copy = PackageCopy::read_file(opened_path(path), file->fd());
  if (!copy) {
    report_package_error(path, copy.error());
    // As check: a file that cannot be read is trouble, a package refused is refused.
    return copy.error().kind() == ErrorKind::Io ? exit_trouble : exit_refused;
  }
  if (const int status = change((*copy)->model); status != exit_ok) return status;
  // The rules see the changed model.
  auto message = (*copy)->build();
  if (!message) {
    report_package_error(path, message.error());
    return message.error().kind() == ErrorKind::Invalid ? exit_refused : exit_trouble;
  }
  if (const auto written = (*copy)->write(*message, file->fd()); !written) {
    if (const auto* io = written.error().io()) return file->finish(io->value());
    report_package_error(target.in_place ? path : *target.output, written.error());
    return exit_trouble;
  }
  return file->finish();
}

}  // namespace

int strip(const std::string& path, const StripOptions& options, const EditTarget& target) {
  const bool both = !options.debug && !options.profile;
  return edit(path, target, [&](Application& app) {
    if (options.debug || both) {
      app.debug_symbols = {};
      app.debug_regions = {};
    }
    if (options.profile || both) app.profile_tiles = {};
    return exit_ok;
  });
}

int set(const std::string& path, const std::vector<std::string>& assignments, const EditTarget& target) {
  // Every assignment is checked against the schema before the package is read.
  std::vector<Assignment> parsed;
  for (const std::string& text : assignments) {
    auto assignment = Assignment::parse(text);
    if (!assignment) {
      report(assignment.error());
      return exit_trouble;
    }
    parsed.push_back(std::move(*assignment));
  }
  return edit(path, target, [&](Application& app) {
    for (const Assignment& assignment : parsed) {
      if (const auto applied = assignment.apply(app); !applied) {
        report(applied.error());
        return exit_trouble;
      }
    }
    return exit_ok;
  });
}

}  // namespace torv_package::cli
