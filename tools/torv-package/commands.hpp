#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torv_package::cli {

enum class DataForm { summary, hex, base64, none };

struct InfoOptions {
  bool json = false;
  bool all = false;  // every row of long tables
  bool no_validate = false;  // shown whatever the rules find, with their faults
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
  std::optional<std::string> output;  // standard output when empty
  bool no_validate = false;  // written whatever the rules find; their faults to standard error
};
struct MapOptions {
  std::optional<std::string> output;  // standard output when empty
  bool no_validate = false;  // drawn whatever the rules find, with their faults marked
};
struct StripOptions {
  bool debug = false;    // debug_symbols and debug_regions
  bool profile = false;  // profile_tiles; neither flag: both
};
// Where strip and set write: the file `output` names, or the package itself.
struct EditTarget {
  std::optional<std::string> output;
  bool in_place = false;
};
// What extract writes: one tile's memory, every tile's (into the folder `output`
// names), or one binding's bytes, raw or as a .npy file.
struct ExtractOptions {
  std::optional<std::uint32_t> tile;
  bool tiles = false;
  std::optional<std::string> binding;
  bool npy = false;
  std::optional<std::string> output;  // standard output when empty, but for tiles
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
int map(const std::string& path, const MapOptions& options);
// The package without its debug data or profile plans, or with values set (PATH=VALUE).
int strip(const std::string& path, const StripOptions& options, const EditTarget& target);
// Bytes out of a package: a tile's memory or a binding's bytes.
int extract(const std::string& path, const ExtractOptions& options);
int set(const std::string& path, const std::vector<std::string>& assignments, const EditTarget& target);

}  // namespace torv_package::cli
