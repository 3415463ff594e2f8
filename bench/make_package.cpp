// Writes a device-shaped package file with the library's writer and prints what writing
// cost in memory: make_package <path> <tiles> [data bytes per tile]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "device_package.hpp"

namespace {

// A field of /proc/self/status, in bytes.
long status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1) * 1024;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_package <path> <tiles> [data bytes per tile]\n");
    return 2;
  }
  const auto tiles = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const std::size_t per_tile =
      argc > 3 ? std::strtoull(argv[3], nullptr, 10) : torv_package::testing::full_tile_data;
  const auto app = torv_package::testing::device_application(tiles, per_tile);
  const long model = status_bytes("VmRSS");
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak from here on is the write's
  if (const auto written = app.write_file(argv[1]); !written) {
    std::fprintf(stderr, "%s: %s\n", argv[1], written.error().debug_string().c_str());
    return 1;
  }
  const long peak = status_bytes("VmHWM");
  const auto package = static_cast<double>(std::ifstream(argv[1], std::ios::binary | std::ios::ate).tellg());
  std::printf("model %.1f MiB, package %.1f MiB, peak while writing %.1f MiB: model + %.2f x package\n",
              model / 1048576.0, package / 1048576.0, peak / 1048576.0, (peak - model) / package);
  return 0;
}
