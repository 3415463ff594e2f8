// torv-package check: validates packages in place, one line each (or one per fault with
// --all, or one JSON object each with --json).
#include <string>
#include <vector>

#include "commands.hpp"
#include "json_writer.hpp"
#include "output.hpp"
#include "sigbus.hpp"
#include "torv_package/faults.hpp"

namespace torv_package::cli {
namespace {

// How many faults one JSON line carries; a hostile package can have millions, and they are
// not kept in memory.
constexpr std::size_t json_fault_limit = 1000;

// Faults as --all reports them: each printed as it is found, or kept for the JSON line up
// to its limit and counted beyond it. Once the output is gone (a closed pipe), validation
// is told to stop: nothing it finds can be reported.
class CheckFaults final : public FaultSink {
 public:
  CheckFaults(Output& out, const std::string& path, bool json) : out_(out), path_(path), json_(json) {}
  bool fault(PackageError error) override {
    ++count_;
    if (!json_) {
      out_.print("{}: {}\n", shown(path_), describe(error));
    } else if (kept.size() < json_fault_limit) {
      kept.push_back(std::move(error));
    }
    return !out_.failed();
  }
  std::size_t count() const { return count_; }
  std::vector<PackageError> kept;

 private:
  Output& out_;
  const std::string& path_;
  bool json_;
  std::size_t count_ = 0;
};

// {"path", "ok", "error" (the first, or null), "errors" (every one found, at most 1000),
// "errors_not_shown", "trailing_bytes", "trailing_bytes_exact"} on one line.
void json_line(Output& out, const std::string& path, const std::vector<PackageError>& errors,
               std::size_t not_shown, const ReadDetails& details) {
  JsonWriter json(out, true);
  json.begin_object();
  json.key("path");
  json.string(json_text(path));
  json.key("ok");
  json.boolean(errors.empty());
  json.key("error");
  if (errors.empty()) {
    json.literal("null");
  } else {
    error_json(json, errors.front());
  }
  json.key("errors");
  json.begin_array();
  for (const PackageError& error : errors) error_json(json, error);
  json.end_array();
  json.key("errors_not_shown");
  json.number(not_shown);
  json.key("trailing_bytes");
  json.number(details.trailing_bytes);
  json.key("trailing_bytes_exact");
  json.boolean(details.trailing_bytes_exact);
  json.end_object();
  json.end_document();
}

// "9 bytes follow the package message", "at least 65536 bytes ...".
std::string trailing_text(const ReadDetails& details) {
  return fmt::format("{}{} {} the package message", details.trailing_bytes_exact ? "" : "at least ",
                     details.trailing_bytes, details.trailing_bytes == 1 ? "byte follows" : "bytes follow");
}

}  // namespace

int check(const std::vector<std::string>& paths, const CheckOptions& options) {
  Output out;
  std::size_t refused = 0;
  std::size_t unreadable = 0;
  for (const std::string& path : paths) {
    // A package shrunk under its mapping is named in the report.
    tools::set_sigbus_report(fmt::format("torv-package: package {} changed while it was read\n", shown(path)));
    ReadDetails details;  // known once the message is framed, also for a refused package
    // Faults still to be reported: --all prints the rules' own as they come, unless --json
    // keeps them for its line.
    std::vector<PackageError> errors;
    std::size_t found = 0;
    std::size_t not_shown = 0;
    if (options.all) {
      CheckFaults faults(out, path, options.json);
      auto view = PackageView::open(opened_path(path), details, faults);
      if (!view) {
        errors.push_back(std::move(view).error());
        found = 1;
      } else {
        found = faults.count();
        not_shown = found - faults.kept.size();
        errors = std::move(faults.kept);
      }
    } else if (auto view = PackageView::open(opened_path(path), details); !view) {
      errors.push_back(std::move(view).error());
      found = 1;
    }
    // Missing, unreadable, a directory: no package could be read at all.
    const bool could_not_read = !errors.empty() && errors.front().kind() == ErrorKind::Io;
    // Reading takes the first message and ignores the rest, which may be a mistake (two
    // packages concatenated, say): --strict refuses it, after the package's own faults.
    const bool trailing = details.trailing_bytes != 0;
    if (trailing && options.strict && (found == 0 || options.all)) {
      errors.push_back(PackageError::invalid(trailing_text(details)));
      ++found;
    }
    if (could_not_read) {
      ++unreadable;
    } else if (found != 0) {
      ++refused;
    }
    if (options.json) {
      if (!options.quiet || found != 0) json_line(out, path, errors, not_shown, details);
    } else if (found == 0) {
      if (!options.quiet) out.print("{}: ok\n", shown(path));
    } else {
      for (const PackageError& error : errors) out.print("{}: {}\n", shown(path), describe(error));
    }
    // Each line as soon as its package is done: a long run that is cut short keeps them.
    if (const auto error = out.finish()) return write_failure(*error);
    // The JSON object carries the count itself.
    if (trailing && !options.strict && !options.json) {
      report(fmt::format("warning: {}: {}", shown(path), trailing_text(details)));
    }
  }
  if (paths.size() > 1) {
    report(unreadable == 0 ? fmt::format("{} packages, {} refused", paths.size(), refused)
                           : fmt::format("{} packages, {} refused, {} could not be read", paths.size(), refused,
                                         unreadable));
  }
  if (unreadable != 0) return exit_trouble;
  return refused != 0 ? exit_refused : exit_ok;
}

}  // namespace torv_package::cli
