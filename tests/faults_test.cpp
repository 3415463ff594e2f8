// Validation that goes on after a fault: the model and the view list the same faults, in
// rule order, and a rule that rests on another skips what that one refused.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "package_writer.hpp"
#include "sample_package.hpp"
#include "torv_package/application.hpp"
#include "torv_package/faults.hpp"
#include "torv_package/view.hpp"

namespace torv_package {
namespace {

struct Case {
  std::string name;
  std::function<void(Application&)> mutate;
  std::vector<std::string> expected;  // "LOCATION: MESSAGE", in order
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> listed(const std::vector<PackageError>& faults) {
  std::vector<std::string> lines;
  for (const PackageError& fault : faults) {
    lines.push_back(std::string(fault.location()) + ": " + *fault.invalid_message());
  }
  return lines;
}

Segment seg(std::uint32_t address, std::uint32_t memory_size, std::size_t data_size = 0) {
  return Segment{address, memory_size, std::vector<std::uint8_t>(data_size, 0), 0};
}

class FaultCase : public ::testing::TestWithParam<Case> {};

TEST_P(FaultCase, ModelAndViewListEveryFault) {
  Application app = testing::valid_application();
  GetParam().mutate(app);

  FaultList model;
  app.validate(model);
  EXPECT_EQ(listed(model.faults), GetParam().expected);

  // validate() gives the first of them.
  const Result<void> first = app.validate();
  if (GetParam().expected.empty()) {
    EXPECT_TRUE(first.has_value());
  } else {
    ASSERT_FALSE(first.has_value());
    ASSERT_FALSE(model.faults.empty());
    EXPECT_EQ(first.error(), model.faults.front());
  }

  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("faults_test_" + std::to_string(::getpid()) + ".torv");
  {
    std::ofstream(path, std::ios::binary) << testing::serialize(app);
  }
  FaultList opened;
  ReadDetails details;
  const Result<PackageView> view = PackageView::open(path, details, opened);
  std::filesystem::remove(path);
  ASSERT_TRUE(view.has_value()) << view.error().debug_string();
  EXPECT_EQ(listed(opened.faults), GetParam().expected);
  FaultList again;
  view->validate(again);
  EXPECT_EQ(listed(again.faults), GetParam().expected);
}

const Case cases[] = {
    {"valid_has_none", [](Application&) {}, {}},
    {"overlap_and_empty_debug_region",
     [](Application& a) {
       a.tiles[0].segments = {seg(0x4c000, 0x101), seg(0x4c100, 0x100)};
       a.debug_regions[0].size = 0;
     },
     {"tiles[0]: overlapping segments on tile 5: 0x4c000..0x4c101 and 0x4c100..0x4c200",
      "debug_regions[0]: invalid package debug map"}},
    {"every_overlap_with_the_segment_reaching_highest",
     [](Application& a) { a.tiles[0].segments = {seg(0x60000, 0x1000), seg(0x60100, 0x10), seg(0x60800, 0x10)}; },
     {"tiles[0]: overlapping segments on tile 5: 0x60000..0x61000 and 0x60100..0x60110",
      "tiles[0]: overlapping segments on tile 5: 0x60000..0x61000 and 0x60800..0x60810"}},
    {"out_of_bounds_segment_skips_overlaps_of_its_tile_only",
     [](Application& a) {
       a.tiles[0].segments = {seg(0x4c000, 0x100), seg(0x4c080, 0x100), seg(0, 1)};
       a.tiles[1].segments = {seg(0x70000, 8), seg(0x70004, 8)};
     },
     {"tiles[0].segments[2]: invalid segment on tile 5: address=0x0 end=0x1 memory_size=1 data_size=0",
      "tiles[1]: overlapping segments on tile 7: 0x70000..0x70008 and 0x70004..0x7000c"}},
    {"repeated_tile_is_not_examined_further",
     [](Application& a) {
       a.device_config_writes = {{6, 0}, {4, 1}, {4, 2}};
       a.tiles[1].physical_tile = 5;
       a.tiles[1].segments = {seg(0, 1)};
     },
     {"device_config_writes[0]: unaligned or duplicate device configuration write",
      "device_config_writes[2]: unaligned or duplicate device configuration write",
      "tiles[1]: duplicate physical tile 5",
      "outputs[0].slices[0]: binding logits references invalid tile memory"}},
    {"first_misnumbered_step_of_each_plan",
     [](Application& a) {
       a.profile_tiles[0].physical_tile = 6;
       for (std::uint32_t i = 0; auto& s : a.profile_tiles[0].steps) s.local_index = ++i;
       a.debug_symbols[0].name.clear();
     },
     {"profile_tiles[0]: invalid tile profile plan", "profile_tiles[0].steps[0]: invalid tile profile plan",
      "debug_symbols[0]: invalid package debug map"}},
    {"every_binding",
     [](Application& a) {
       a.inputs[0].name.clear();
       a.inputs[0].slices[0].tile = 9;
       a.weights[0].name = "logits";
     },
     {"inputs[0]: empty or duplicate binding ",
      "inputs[0].slices[0]: binding  references invalid tile memory",
      "weights[0]: empty or duplicate binding logits"}},
    {"repeated_page_skips_page_lookups",
     [](Application& a) {
       a.host_exchange.pages.push_back(a.host_exchange.pages[0]);
       a.host_exchange.attach_order.push_back(9);
       a.host_exchange.calls[0].inputs[0].page = 9;
       a.host_exchange.calls[0].invocations = 0;
     },
     {"host_exchange.pages[2]: invalid host page table",
      "host_exchange.calls[0].invocations: host call fetch has no invocations"}},
    {"every_page_lookup",
     [](Application& a) {
       a.host_exchange.attach_order = {9, 1, 8};
       a.host_exchange.command_offset = 0x1000;
       a.host_exchange.calls[0].inputs[0].page = 9;
       a.host_exchange.calls[0].outputs[0].size = 0x10000;
       a.host_exchange.calls[0].output_batch_ends = {};
     },
     {"host_exchange.attach_order[0]: invalid host page table",
      "host_exchange.attach_order[2]: invalid host page table",
      "host_exchange.command_offset: invalid host startup protocol",
      "host_exchange.calls[0].output_batch_ends: host call fetch output batches cover 0 of 1 slices",
      "host_exchange.calls[0].inputs[0]: host call fetch references missing page",
      "host_exchange.calls[0].outputs[0]: host call fetch exceeds page bounds"}},
};

INSTANTIATE_TEST_SUITE_P(Rules, FaultCase, ::testing::ValuesIn(cases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace torv_package
