// view_dump PACKAGE TILE: prints one tile of a package exactly as vindle does, reading it
// through PackageView alone: the file is mapped and validated in place, and the words are
// printed straight from the mapping, with nothing of the package copied.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include <torv_package/view.hpp>

namespace {

using torv_package::PackageView;

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int fail(std::string_view reason) {
  write_all(STDERR_FILENO, fmt::format("view_dump: {}\n", reason));
  return 101;
}

// Decimal, an optional "+", at most 4294967295, as vindle takes it.
bool parse_tile(std::string_view text, std::uint32_t& tile) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  tile = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return fail("usage: view_dump <package> <tile>");
  std::uint32_t tile = 0;
  if (!parse_tile(argv[2], tile)) return fail(fmt::format("invalid tile number {}", argv[2]));

  auto view = PackageView::open(argv[1]);
  if (!view) {
    const auto& error = view.error();
    if (error.location().empty()) return fail(fmt::format("cannot read package {}: {}", argv[1], error));
    return fail(fmt::format("cannot read package {}: at {}: {}", argv[1], error.location(), error));
  }

  std::string regions;
  for (const auto region : view->debug_regions()) {
    if (region.physical_tile() != tile && region.physical_tile() != torv_package::all_tiles) continue;
    // Validation keeps address + size within 32 bits.
    fmt::format_to(std::back_inserter(regions), "region tile={} 0x{:x}..0x{:x} {}\n", region.physical_tile(),
                   region.address(), static_cast<std::uint32_t>(region.address() + region.size()), region.name());
  }
  if (!write_all(STDERR_FILENO, regions)) return 101;

  for (const auto image : view->tiles()) {
    if (image.physical_tile() != tile) continue;
    std::string out;
    for (const auto segment : image.segments()) {
      const std::span<const std::uint8_t> data = segment.data();
      fmt::format_to(std::back_inserter(out), "segment 0x{:x} data {} memory {}\n", segment.address(), data.size(),
                     segment.memory_size());
      if (segment.address() < 0x50000) continue;
      for (std::size_t k = 0; k + 4 <= data.size(); k += 4) {
        const std::uint32_t word = std::uint32_t{data[k]} | std::uint32_t{data[k + 1]} << 8 |
                                   std::uint32_t{data[k + 2]} << 16 | std::uint32_t{data[k + 3]} << 24;
        fmt::format_to(std::back_inserter(out), "0x{:06x} {:08x}\n", static_cast<std::uint32_t>(segment.address() + k),
                       word);
      }
      if (out.size() >= (1u << 20)) {
        if (!write_all(STDOUT_FILENO, out)) return fail(fmt::format("cannot write to stdout: {}", std::strerror(errno)));
        out.clear();
      }
    }
    if (!write_all(STDOUT_FILENO, out)) return fail(fmt::format("cannot write to stdout: {}", std::strerror(errno)));
    return 0;
  }
  return fail(fmt::format("package {} has no image for tile {}", argv[1], tile));
}
