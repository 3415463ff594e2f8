#include "seed_corpus.hpp"

#include "hostile_inputs.hpp"
#include "package_writer.hpp"
#include "sample_package.hpp"

namespace torv_package::testing {

std::vector<Seed> seed_corpus() {
  std::vector<Seed> seeds;
  const auto put = [&](std::string name, std::string bytes) { seeds.push_back({std::move(name), std::move(bytes)}); };
  const Application valid = valid_application();
  const std::string bytes = serialize(valid);
  put("valid", bytes);
  put("valid-three-segments", package_with_segments(3));
  put("valid-many-tiles", many_empty_tiles(64));

  put("header-version", serialize(valid, Header{3}));
  put("header-target", serialize(valid, Header{4, "TORV21"}));
  Application bad_text = valid;
  bad_text.inputs[0].name = "ab\xe2\x82";
  put("utf8", serialize(bad_text));
  Application bad_enum = valid;
  bad_enum.profile_tiles[0].steps[0].kind = static_cast<ProfileStepKind>(4);
  put("schema-enum", serialize(bad_enum));
  Application no_tiles = valid;
  no_tiles.tiles.clear();
  put("invalid-no-tiles", serialize(no_tiles));
  Application overlap = valid;
  overlap.tiles[0].segments[1].address = 0x4c0f0;
  put("invalid-overlap", serialize(overlap));
  put("truncated", bytes.substr(0, bytes.size() / 2));
  put("segment-claim", segment_claim_beyond_file(2));
  put("far-chain", far_pointer_chain(3));
  put("unterminated-text", text_without_nul(64));
  put("amplified", amplified_lists(1000, true)[0].bytes);
  // Well-formed packages that expand far beyond their size.
  put("empty-host-calls", canonical_default_records("host_exchange.calls", 1'000'000));
  put("empty-host-calls-padded", canonical_default_records("host_exchange.calls", 3'000, 2'000));
  put("default-entry-points", canonical_default_records("entry_points", 100'000));
  put("default-config-writes", canonical_default_records("device_config_writes", 4'000'000));
  put("shared-segment-data", shared_segment_data(64, 4096));
  put("colliding-tile-numbers", serialize(tiles_with_stride(600, 62233, 300)));
  return seeds;
}

}  // namespace torv_package::testing
