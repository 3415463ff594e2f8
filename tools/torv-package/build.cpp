// torv-package build: a package from the JSON document `json --data=hex` or
// `--data=base64` writes (model_from_json, in build_model.cpp), validated and written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "build_model.hpp"
#include "commands.hpp"
#include "output.hpp"
#include "output_file.hpp"

namespace torv_package::cli {
namespace {

// 1-based line and column (in characters) of a byte offset.
std::pair<std::size_t, std::size_t> line_column(std::string_view doc, std::size_t offset) {
  offset = std::min(offset, doc.size());
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    if (doc[i] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(doc[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return {line, column};
}

// The whole document at `path` ("-" standard input); the OS error of a failed open or
// read (a directory reads as EISDIR).
std::expected<std::string, PackageError> read_all(const std::string& path) {
  const auto failed = [](int error, std::string_view action) {
    return std::unexpected(PackageError(std::error_code(error, std::generic_category()), action));
  };
  const int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failed(errno, "open");
  // A regular file is read into room for all of it and one more byte, which finds its end.
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::string doc(regular ? static_cast<std::size_t>(st.st_size) + 1 : std::size_t{1} << 16, '\0');
  std::size_t used = 0;
  int error = 0;
  for (;;) {
    if (used == doc.size()) doc.resize(2 * doc.size());
    const ssize_t n = ::read(fd, doc.data() + used, doc.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  doc.resize(used);
  if (fd != STDIN_FILENO) ::close(fd);
  if (error != 0) return failed(error, "read");
  return doc;
}

int build_document(const std::string& path, const std::string& name, const std::optional<std::string>& output,
                   DataForm form) {
  auto doc = read_all(path);
  if (!doc) {
    report(fmt::format("{}: {}", name, describe(doc.error())));
    return exit_trouble;
  }
  auto built = model_from_json(*doc, form);
  if (!built) {
    const auto [line, column] = line_column(*doc, built.error().offset);
    report(fmt::format("{}:{}:{}: {}", name, line, column, built.error().message));
    return exit_trouble;
  }
  std::string().swap(*doc);  // the model holds all it needs
  const Application& app = *built;

  if (const auto valid = app.validate(); !valid) {
    report(fmt::format("{}: {}", name, describe(valid.error())));
    return exit_refused;
  }
  auto file = OutputFile::open(output, {path});
  if (!file) return exit_trouble;
  if (const auto written = app.write(file->stream()); !written && !file->stream_failed()) {
    report(fmt::format("{}: {}", output ? shown(*output) : "standard output", describe(written.error())));
    return exit_trouble;
  }
  return file->finish();
}

}  // namespace

int build(const std::string& path, const std::optional<std::string>& output, DataForm form) {
  const std::string name = path == "-" ? "standard input" : shown(path);
  // A package is binary: written to a terminal it would garble it.
  if (!output && ::isatty(STDOUT_FILENO)) {
    report("refusing to write a package to a terminal; give -o PACKAGE or redirect standard output");
    return exit_trouble;
  }
  try {
    return build_document(path, name, output, form);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  report(fmt::format("not enough memory to build a package from {}", name));
  return exit_trouble;
}

}  // namespace torv_package::cli
