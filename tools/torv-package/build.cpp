// torv-package build: a package from the JSON document `json --data=hex` or
// `--data=base64` writes (model_from_json, in build_model.cpp), validated and written.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <kj/io.h>

#include "build_model.hpp"
#include "commands.hpp"
#include "output.hpp"

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

bool read_all(const std::string& path, std::string& out) {
  if (path == "-") {
    out.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  out = std::move(text).str();
  return !in.bad();
}

}  // namespace

int build(const std::string& path, const std::optional<std::string>& output, DataForm form) {
  const std::string name = path == "-" ? "standard input" : shown(path);
  // A package is binary: written to a terminal it would garble it.
  if (!output && ::isatty(STDOUT_FILENO)) {
    report("refusing to write a package to a terminal; give -o PACKAGE or redirect standard output");
    return exit_trouble;
  }
  std::string doc;
  if (!read_all(path, doc)) {
    report(fmt::format("cannot read {}: {}", name, std::generic_category().message(errno)));
    return exit_trouble;
  }
  const auto failure = [&](std::size_t offset, std::string_view text) {
    const auto [line, column] = line_column(doc, offset);
    report(fmt::format("{}:{}:{}: {}", name, line, column, text));
    return exit_trouble;
  };

  auto built = model_from_json(doc, form);
  if (!built) return failure(built.error().offset, built.error().message);
  const Application& app = *built;

  if (const auto valid = app.validate(); !valid) {
    report(fmt::format("{}: {}", name, describe(valid.error())));
    return exit_refused;
  }
  if (output) {
    if (const auto written = app.write_file(*output); !written) {
      report(fmt::format("cannot write package {}: {}", shown(*output), describe(written.error())));
      return exit_trouble;
    }
    return exit_ok;
  }
  kj::FdOutputStream out(STDOUT_FILENO);
  if (const auto written = app.write(out); !written) {
    report(fmt::format("cannot write package to stdout: {}", describe(written.error())));
    return exit_trouble;
  }
  return exit_ok;
}

}  // namespace torv_package::cli
