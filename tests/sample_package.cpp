#include "sample_package.hpp"

namespace torv_package::testing {

Application valid_application() {
  Application app;
  app.compiler_version = "1.2.3";
  app.tiles = {
      TileImage{5, 0x4c000, 0x4c100, 0x4c200,
                {Segment{0x4c000, 0x100, std::vector<std::uint8_t>(0x100, 0xaa), 1},
                 Segment{0x50000, 16, {0x78, 0x56, 0x34, 0x12, 0xef, 0xbe, 0xad, 0xde, 0x01}, 0}}},
      TileImage{7, 0, 0, 0, {Segment{0xe7f00, 0x100, {1, 2, 3}, 0}}},
  };
  app.inputs = {Binding{"image", "f16", {1, 3}, {RegionSlice{5, 0x60000, 0, 0x100}}}};
  app.outputs = {Binding{"logits", "f32", {10}, {RegionSlice{7, 0x70000, 0x100, 0x40}}}};
  app.weights = {Binding{"w0", "f16", {3, 3}, {}}};
  app.host_exchange = HostExchange{
      .startup_mark = 0x1234,
      .command_page = 1,
      .command_offset = 0,
      .pages = {HostPage{1, 0x1000}, HostPage{2, 0x2000}},
      .attach_order = {2, 1},
      .calls = {HostCall{"fetch", 3, 1,
                         {HostSlice{1, 0x100, 0, 0x10}, HostSlice{1, 0x200, 0, 0x10},
                          HostSlice{2, 0, 0, 0x100}},
                         {HostSlice{2, 0x100, 0, 0x10}},
                         1,
                         {1, 3},
                         {1}}},
  };
  app.entry_points = {EntryPoint{"main", 1, 0}};
  app.device_config_writes = {DeviceConfigWrite{0, 1}, DeviceConfigWrite{4, 2}};
  app.profile_tiles = {TileProfilePlan{
      5,
      {ProfileStep{0, 1, 2, "matmul", ProfileStepKind::Compute, "k0", {{"m", "v"}},
                   {{ProfileExchangeActivityKind::Receive, 10, 20}}, 7},
       ProfileStep{1, 0, 0, "", ProfileStepKind::Idle, "", {}, {}, 0}}}};
  app.debug_symbols = {DebugSymbol{"entry", 0x4c000}};
  app.debug_regions = {DebugRegion{5, 0x60000, 0x100, "buffer"},
                       DebugRegion{all_tiles, 0, 0x10, "everywhere"}};
  return app;
}

}  // namespace torv_package::testing
