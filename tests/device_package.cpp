#include "device_package.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include <fmt/format.h>

namespace torv_package::testing {
namespace {

constexpr std::uint32_t segments_per_tile = 8;
// Code lives in the lower part of tile memory; data segments follow.
constexpr std::uint32_t segment_stride = (tile_memory_end - tile_memory_base) / segments_per_tile;

std::uint64_t next_random(std::uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

}  // namespace

std::uint32_t tiles_for_size(std::size_t bytes) {
  return static_cast<std::uint32_t>(std::max<std::size_t>(1, bytes / full_tile_data));
}

Application device_application(std::uint32_t tiles, std::size_t data_per_tile) {
  Application app;
  app.compiler_version = "device-bench 1.0";
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  const std::size_t per_segment =
      std::min<std::size_t>(data_per_tile / segments_per_tile, segment_stride - 64);
  app.tiles.reserve(tiles);
  for (std::uint32_t t = 0; t < tiles; ++t) {
    TileImage tile{t, tile_memory_base, tile_memory_base + 0x100, tile_memory_base + 0x200, {}};
    for (std::uint32_t s = 0; s < segments_per_tile; ++s) {
      std::vector<std::uint8_t> data(per_segment);
      for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
        const std::uint64_t r = next_random(state);
        std::memcpy(data.data() + i, &r, 8);
      }
      tile.segments.push_back(Segment{tile_memory_base + s * segment_stride,
                                      static_cast<std::uint32_t>(per_segment + 32), std::move(data),
                                      s});
    }
    app.tiles.push_back(std::move(tile));
  }

  const auto binding = [&](const std::string& name, std::uint32_t first_tile) {
    Binding b{name, "float16", {1, 64, 64}, {}};
    for (std::uint32_t k = 0; k < 4; ++k) {
      b.slices.push_back(RegionSlice{(first_tile + k) % tiles,
                                     tile_memory_base + 3 * segment_stride + 0x100 * k, k * 0x100u,
                                     0x100});
    }
    return b;
  };
  for (std::uint32_t i = 0; i < 64; ++i) {
    app.inputs.push_back(binding(fmt::format("input{}", i), i));
    app.outputs.push_back(binding(fmt::format("output{}", i), i + 7));
    app.weights.push_back(binding(fmt::format("layer{}.weight", i), i + 13));
  }

  auto& exchange = app.host_exchange;
  exchange.startup_mark = 0x5a5a;
  for (std::uint32_t p = 0; p < 32; ++p) exchange.pages.push_back(HostPage{p, 1u << 20});
  for (std::uint32_t p = 0; p < 32; ++p) exchange.attach_order.push_back(p);
  exchange.command_offset = 0xffc;
  for (std::uint32_t c = 0; c < 16; ++c) {
    HostCall call{fmt::format("call{}", c), c, 2, {}, {}, 1 + c % 3, {}, {}};
    for (std::uint32_t k = 0; k < 8; ++k) {
      call.inputs.push_back(HostSlice{(c + k) % 32, 0x1000u * (k + 1), 0x1000u * k, 0x800});
      call.outputs.push_back(HostSlice{(c + k + 1) % 32, 0x80000u + 0x1000u * k, 0x1000u * k, 0x800});
    }
    call.input_batch_ends = {4, 8};
    call.output_batch_ends = {8};
    exchange.calls.push_back(std::move(call));
  }
  app.entry_points = {EntryPoint{"main", 1, 0}, EntryPoint{"reset", 2, 1}};
  for (std::uint32_t i = 0; i < 256; ++i) app.device_config_writes.push_back({i * 4, i});

  for (std::uint32_t t = 0; t < tiles; ++t) {
    TileProfilePlan plan{t, {}};
    for (std::uint32_t s = 0; s < 8; ++s) {
      plan.steps.push_back(ProfileStep{s, s / 2, s / 4, fmt::format("op{}", s),
                                       static_cast<ProfileStepKind>(s % 4), "kernel", {{"flops", "4096"}},
                                       {{ProfileExchangeActivityKind::Send, s * 10, s * 10 + 5}}, 5});
    }
    app.profile_tiles.push_back(std::move(plan));
    app.debug_regions.push_back(
        DebugRegion{t, tile_memory_base + 3 * segment_stride, 0x1000, fmt::format("tile{}.stack", t)});
  }
  for (std::uint32_t i = 0; i < 1000; ++i) {
    app.debug_symbols.push_back(DebugSymbol{fmt::format("sym{}", i), tile_memory_base + i * 4});
  }
  for (std::uint32_t i = 0; i < 16; ++i) {
    app.debug_regions.push_back(DebugRegion{all_tiles, 0x100u * i, 0x80, fmt::format("shared{}", i)});
  }
  return app;
}

}  // namespace torv_package::testing
