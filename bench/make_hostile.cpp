// Writes the hostile package shapes that scripts/bench-hostile measures the tools on, at
// the sizes they were first measured at: make_hostile <directory>. Prints one line per
// file: its name and size.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "hostile_inputs.hpp"
#include "package_writer.hpp"

namespace {

using namespace torv_package::testing;

std::string amplified_inputs() {
  for (auto& list : amplified_lists(8'380'000, true)) {
    if (list.field == "inputs") return std::move(list.bytes);
  }
  return {};
}

// A package with a fault per record: four million writes to one configuration word.
std::string many_faults() { return canonical_default_records("device_config_writes", 4'000'000); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_hostile <directory>\n");
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::filesystem::create_directories(directory);
  const struct {
    const char* name;
    std::function<std::string()> make;
  } shapes[] = {
      {"zero-sized-bindings", amplified_inputs},
      {"aliased-segments-1472x5600", [] { return aliased_segment_lists(1472, 5600); }},
      {"aliased-segments-100x2000", [] { return aliased_segment_lists(100, 2000); }},
      {"segments-x-slices-39000", [] { return serialize(segments_and_slices(39'000)); }},
      {"colliding-tiles-50000", [] { return serialize(tiles_with_stride(50'000, 85229, 0)); }},
      {"aliased-slices-250x8000", [] { return aliased_slice_lists(250, 8000); }},
      {"aliased-slices-60x8000", [] { return aliased_slice_lists(60, 8000); }},
      {"many-faults", many_faults},
      {"narrow-pages-16M", [] { return narrow_host_pages(16'000'000, 3); }},
  };
  for (const auto& shape : shapes) {
    const std::string bytes = shape.make();
    std::ofstream(directory / shape.name, std::ios::binary) << bytes;
    std::printf("%s %zu\n", shape.name, bytes.size());
  }
  return 0;
}
