// vindle: dumps what a package places on one tile. Debug regions of the tile go to
// standard error; its segments, and the data words of segments at 0x50000 and above, go
// to standard output. Every failure is one report line on standard error and status 101.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "torv_package/application.hpp"
#include "torv_package/error.hpp"
#include "sigbus.hpp"
#include "utf8.hpp"

namespace {

using torv_package::Application;

constexpr int exit_failure = 101;
constexpr std::uint32_t first_dumped_address = 0x50000;
constexpr std::string_view usage = "usage: vindle <package> <tile>";

// Ends the run with status 101; `report` is the reason line without the "vindle: ".
struct Failure {
  std::string report;
  std::string extra_line;  // e.g. the usage line; empty for none
};

std::string os_error_debug(int code) {
  return fmt::format("Os {{ code: {}, message: {} }}", code,
                     torv_package::quote_escaped(std::generic_category().message(code)));
}

// Writes one whole line now: lines must reach their stream as they are produced, in
// order, and every write error must be seen.
std::optional<int> write_all(int fd, std::string_view line) {
  while (!line.empty()) {
    const ssize_t n = ::write(fd, line.data(), line.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    line.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

class Output {
 public:
  // Writes `line` to stdout or stderr; a failure ends the run.
  std::optional<Failure> out(std::string_view line) { return put(STDOUT_FILENO, "stdout", line); }
  std::optional<Failure> err(std::string_view line) { return put(STDERR_FILENO, "stderr", line); }

 private:
  static std::optional<Failure> put(int fd, std::string_view name, std::string_view line) {
    if (const auto error = write_all(fd, line)) {
      return Failure{fmt::format("cannot write to {}: {}", name, os_error_debug(*error)), {}};
    }
    return std::nullopt;
  }
};

enum class ParseIntErrorKind { Empty, InvalidDigit, PosOverflow };

std::string_view kind_name(ParseIntErrorKind kind) {
  switch (kind) {
    case ParseIntErrorKind::Empty: return "Empty";
    case ParseIntErrorKind::InvalidDigit: return "InvalidDigit";
    case ParseIntErrorKind::PosOverflow: return "PosOverflow";
  }
  return "InvalidDigit";
}

// Decimal u32: an optional "+", then digits only, leading zeros allowed. Digits are
// taken left to right, so an overflow is reported even if a bad character follows it.
// Written by hand: std::from_chars takes no "+" and does not tell these kinds apart.
std::optional<ParseIntErrorKind> parse_tile(std::string_view text, std::uint32_t& value) {
  if (text.empty()) return ParseIntErrorKind::Empty;
  if (text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return ParseIntErrorKind::InvalidDigit;
  std::uint64_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return ParseIntErrorKind::InvalidDigit;
    result = result * 10 + static_cast<std::uint64_t>(c - '0');
    if (result > 0xFFFFFFFFu) return ParseIntErrorKind::PosOverflow;
  }
  value = static_cast<std::uint32_t>(result);
  return std::nullopt;
}

std::optional<Failure> print_segments(const torv_package::TileImage& tile, Output& output) {
  std::string line;
  for (const auto& segment : tile.segments) {
    line.clear();
    fmt::format_to(std::back_inserter(line), "segment 0x{:x} data {} memory {}\n",
                   segment.address, segment.data.size(), segment.memory_size);
    if (auto failure = output.out(line)) return failure;
    if (segment.address < first_dumped_address) continue;
    const std::size_t words = segment.data.size() / 4;
    for (std::size_t k = 0; k < words; ++k) {
      const std::uint8_t* b = segment.data.data() + 4 * k;
      const std::uint32_t value = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                                  std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
      // Validation keeps segments inside tile memory, so address + 4k fits 32 bits.
      const auto address = static_cast<std::uint32_t>(segment.address + 4 * k);
      line.clear();
      fmt::format_to(std::back_inserter(line), "0x{:06x} {:08x}\n", address, value);
      if (auto failure = output.out(line)) return failure;
    }
  }
  return std::nullopt;
}

std::optional<Failure> run(int argc, char** argv, Output& output) {
  for (int i = 0; i < argc && i < 3; ++i) {
    if (torv_package::check_utf8(argv[i])) {
      return Failure{fmt::format("invalid argument {}: not valid UTF-8", i), {}};
    }
  }
  if (argc < 2) return Failure{"missing argument: package", std::string(usage)};
  const std::string_view path = argv[1];
  if (argc < 3) return Failure{"missing argument: tile", std::string(usage)};
  const std::string_view tile_text = argv[2];

  std::uint32_t tile_number = 0;
  if (const auto kind = parse_tile(tile_text, tile_number)) {
    return Failure{fmt::format("invalid tile number {}: ParseIntError {{ kind: {} }}",
                               torv_package::quote_escaped(tile_text), kind_name(*kind)),
                   {}};
  }

  // The file is closed before read_file returns, so before anything is printed.
  auto result = Application::read_file(argv[1]);
  if (!result) {
    const auto& error = result.error();
    // An Io error is the system's failure to open or read the file, never the package's.
    if (error.io() != nullptr) {
      return Failure{fmt::format("cannot open {}: {}", path, os_error_debug(error.io()->value())), {}};
    }
    if (error.location().empty()) {
      return Failure{fmt::format("cannot read package {}: {}", path, error), {}};
    }
    return Failure{fmt::format("cannot read package {}: at {}: {}", path, error.location(), error), {}};
  }
  const Application& app = *result;

  std::string line;
  for (const auto& region : app.debug_regions) {
    if (region.physical_tile != tile_number && region.physical_tile != torv_package::all_tiles) {
      continue;
    }
    line.clear();
    // Validation keeps address + size within 32 bits.
    fmt::format_to(std::back_inserter(line), "region tile={} 0x{:x}..0x{:x} {}\n",
                   region.physical_tile, region.address,
                   static_cast<std::uint32_t>(region.address + region.size), region.name);
    if (auto failure = output.err(line)) return failure;
  }

  for (const auto& tile : app.tiles) {
    if (tile.physical_tile == tile_number) return print_segments(tile, output);
  }
  return Failure{fmt::format("package {} has no image for tile {}", path, tile_number), {}};
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe, or a file grown past the size limit, must show up as a write error,
  // not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // A package file shrunk while it is mapped must not kill the process silently either.
  torv_package::tools::install_sigbus_report(
      fmt::format("vindle: package {} changed while it was read\n", argc > 1 ? argv[1] : ""), exit_failure);
  Output output;
  const std::optional<Failure> failure = run(argc, argv, output);
  if (!failure) return 0;
  std::string report = fmt::format("vindle: {}\n", failure->report);
  if (!failure->extra_line.empty()) report += failure->extra_line + "\n";
  (void)write_all(STDERR_FILENO, report);  // nowhere left to report a failure of this write
  return exit_failure;
}
