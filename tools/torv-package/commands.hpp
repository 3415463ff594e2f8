#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace torv_package::cli {

enum class DataForm { summary, hex, base64, none };

struct InfoOptions {
  bool json = false;
  bool all = false;  // every row of long tables
};
struct CheckOptions {
  bool all = false;    // every fault, not just the first
  bool quiet = false;  // failures only
  bool json = false;
  bool strict = false;  // bytes after the message refuse a package
};
struct JsonOptions {
  DataForm data = DataForm::summary;
  bool compact = false;
};
struct DiffOptions {
  bool quiet = false;
  bool json = false;
  std::optional<std::size_t> max_lines;
};

// Each returns the process's exit status. A path "-" is standard input.
int info(const std::string& path, const InfoOptions& options);
int check(const std::vector<std::string>& paths, const CheckOptions& options);
int json(const std::string& path, const JsonOptions& options);
int diff(const std::string& a, const std::string& b, const DiffOptions& options);
// A package from a hex or base64 JSON document; standard output when `output` is empty.
int build(const std::string& path, const std::optional<std::string>& output, DataForm data);
// The HTML picture of a package, to `output` or standard output.
int map(const std::string& path, const std::optional<std::string>& output);

}  // namespace torv_package::cli
