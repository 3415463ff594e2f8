#pragma once

#include <optional>
#include <string>
#include <vector>

namespace torv_package::cli {

enum class DataForm { summary, hex, base64 };

// Each returns the process's exit status.
int info(const std::string& path);
int check(const std::vector<std::string>& paths);
int json(const std::string& path, DataForm data);
int diff(const std::string& a, const std::string& b);
// A package from a hex or base64 JSON document; standard output when `output` is empty.
int build(const std::string& path, const std::optional<std::string>& output, DataForm data);
// The HTML picture of a package, to `output` or standard output.
int map(const std::string& path, const std::optional<std::string>& output);

}  // namespace torv_package::cli
