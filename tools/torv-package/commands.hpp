#pragma once

#include <string>
#include <vector>

namespace torv_package::cli {

enum class DataForm { summary, hex, base64 };

// Each returns the process's exit status.
int info(const std::string& path);
int check(const std::vector<std::string>& paths);
int json(const std::string& path, DataForm data);
int diff(const std::string& a, const std::string& b);

}  // namespace torv_package::cli
