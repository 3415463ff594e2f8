// Writes the fuzz seed corpus into the directory given as the only argument: valid
// packages and one input of each failure class.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "hostile_inputs.hpp"
#include "package_writer.hpp"
#include "sample_package.hpp"

namespace {

using namespace torv_package;
using namespace torv_package::testing;

void put(const std::filesystem::path& dir, const std::string& name, const std::string& bytes) {
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_corpus <directory>\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);

  const Application valid = valid_application();
  const std::string bytes = serialize(valid);
  put(dir, "valid", bytes);
  put(dir, "valid-three-segments", package_with_segments(3));
  put(dir, "valid-many-tiles", many_empty_tiles(64));

  put(dir, "header-version", serialize(valid, Header{3}));
  put(dir, "header-target", serialize(valid, Header{4, "TORV21"}));
  Application bad_text = valid;
  bad_text.inputs[0].name = "ab\xe2\x82";
  put(dir, "utf8", serialize(bad_text));
  Application bad_enum = valid;
  bad_enum.profile_tiles[0].steps[0].kind = static_cast<ProfileStepKind>(4);
  put(dir, "schema-enum", serialize(bad_enum));
  Application no_tiles = valid;
  no_tiles.tiles.clear();
  put(dir, "invalid-no-tiles", serialize(no_tiles));
  Application overlap = valid;
  overlap.tiles[0].segments[1].address = 0x4c0f0;
  put(dir, "invalid-overlap", serialize(overlap));
  put(dir, "truncated", bytes.substr(0, bytes.size() / 2));
  put(dir, "segment-claim", segment_claim_beyond_file(2));
  put(dir, "far-chain", far_pointer_chain(3));
  put(dir, "unterminated-text", text_without_nul(64));
  put(dir, "amplified", amplified_lists(1000, true)[0].bytes);
  // Well-formed packages that expand far beyond their size.
  put(dir, "empty-host-calls", canonical_default_records("host_exchange.calls", 1'000'000));
  put(dir, "empty-host-calls-padded", canonical_default_records("host_exchange.calls", 3'000, 2'000));
  put(dir, "default-entry-points", canonical_default_records("entry_points", 100'000));
  put(dir, "default-config-writes", canonical_default_records("device_config_writes", 4'000'000));
  put(dir, "shared-segment-data", shared_segment_data(64, 4096));
  put(dir, "colliding-tile-numbers", serialize(tiles_with_stride(600, 62233, 300)));
  return 0;
}
