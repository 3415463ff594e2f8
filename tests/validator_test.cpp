#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "package_writer.hpp"
#include "sample_package.hpp"
#include "view_agreement.hpp"
#include "torv_package/application.hpp"

namespace torv_package {
namespace {

using testing::valid_application;

constexpr std::uint32_t u32_max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// One row per case: what it changes in the valid package, and for a failing case the
// message and the place the failing rule names (the location table of docs/cpp.md). Rows with two
// faults fail when the order of the rules that find them changes.
struct Case {
  std::string name;
  std::function<void(Application&)> mutate;
  std::optional<std::string> expected;  // nothing: the package must pass
  std::string location{};
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ValidatorCase : public ::testing::TestWithParam<Case> {};

TEST_P(ValidatorCase, GivesExpectedOutcomeAndPlace) {
  Application app = valid_application();
  GetParam().mutate(app);
  const Application before = app;
  const Result<void> result = app.validate();
  EXPECT_EQ(app, before) << "the validator must not change the package";
  EXPECT_EQ(testing::view_disagreement(testing::serialize(app)), std::nullopt);
  if (!GetParam().expected) {
    EXPECT_TRUE(result.has_value()) << result.error().debug_string();
    return;
  }
  ASSERT_FALSE(result.has_value());
  ASSERT_EQ(result.error().kind(), ErrorKind::Invalid) << result.error().debug_string();
  EXPECT_EQ(*result.error().invalid_message(), *GetParam().expected);
  EXPECT_EQ(result.error().location(), GetParam().location);
}

Segment seg(std::uint32_t address, std::uint32_t memory_size, std::size_t data_size = 0) {
  return Segment{address, memory_size, std::vector<std::uint8_t>(data_size, 0), 0};
}

HostCall& fetch(Application& app) { return app.host_exchange.calls.at(0); }

const Case cases[] = {
    {"baseline_passes", [](Application&) {}, std::nullopt},
    {"one_bare_tile_passes",
     [](Application& a) { a = Application{}; a.tiles = {TileImage{0, 0, 0, 0, {}}}; },
     std::nullopt},

    // Step 1 wins over everything else.
    {"no_tiles", [](Application& a) { a.tiles.clear(); }, "application has no tiles", "tiles"},
    {"no_tiles_before_anything",
     [](Application& a) {
       a.tiles.clear();
       a.device_config_writes = {{6, 0}};
       a.inputs[0].name.clear();
       a.host_exchange.pages.push_back(a.host_exchange.pages[0]);
     },
     "application has no tiles", "tiles"},

    // Step 2.
    {"config_offsets_0_4_8_pass", [](Application& a) { a.device_config_writes = {{0, 9}, {4, 9}, {8, 9}}; },
     std::nullopt},
    {"config_unaligned", [](Application& a) { a.device_config_writes = {{6, 0}}; },
     "unaligned or duplicate device configuration write", "device_config_writes[0]"},
    {"config_duplicate", [](Application& a) { a.device_config_writes = {{4, 1}, {4, 2}}; },
     "unaligned or duplicate device configuration write", "device_config_writes[1]"},
    {"config_write", [](Application& a) { a.device_config_writes[1].offset = 0; },
     "unaligned or duplicate device configuration write", "device_config_writes[1]"},
    {"config_before_duplicate_tile",
     [](Application& a) { a.device_config_writes = {{1, 0}}; a.tiles[1].physical_tile = 5; },
     "unaligned or duplicate device configuration write", "device_config_writes[0]"},

    // Step 3.
    {"duplicate_tile", [](Application& a) { a.tiles[1].physical_tile = 5; }, "duplicate physical tile 5",
     "tiles[1]"},
    {"bad_segment_of_first_tile_before_duplicate",
     [](Application& a) { a.tiles[0].segments[0].data.push_back(0); a.tiles[1].physical_tile = 5; },
     "invalid segment on tile 5: address=0x4c000 end=0x4c100 memory_size=256 data_size=257",
     "tiles[0].segments[0]"},
    {"overlap_on_first_tile_before_duplicate",
     [](Application& a) { a.tiles[0].segments = {seg(0x4c000, 0x101), seg(0x4c100, 0x100)}; a.tiles[1].physical_tile = 5; },
     "overlapping segments on tile 5: 0x4c000..0x4c101 and 0x4c100..0x4c200", "tiles[0]"},
    {"segment_rules_before_overlap_on_one_tile",
     [](Application& a) { a.tiles[0].segments = {seg(0x4c000, 0x100), seg(0x4c080, 0x100), seg(0, 1)}; },
     "invalid segment on tile 5: address=0x0 end=0x1 memory_size=1 data_size=0", "tiles[0].segments[2]"},
    {"segment_data_longer_than_memory",
     [](Application& a) { a.tiles[0].segments[0].data.push_back(0); },
     "invalid segment on tile 5: address=0x4c000 end=0x4c100 memory_size=256 data_size=257",
     "tiles[0].segments[0]"},
    {"segment_ends_at_window_end", [](Application& a) { a.tiles[0].segments = {seg(0xe7000, 0x1000, 0x1000)}; },
     std::nullopt},
    {"segment_ends_one_past_window",
     [](Application& a) { a.tiles[0].segments = {seg(0xe7001, 0x1000)}; },
     "invalid segment on tile 5: address=0xe7001 end=0xe8001 memory_size=4096 data_size=0",
     "tiles[0].segments[0]"},
    {"segment_starts_below_window", [](Application& a) { a.tiles[0].segments = {seg(0x4bfff, 1)}; },
     "invalid segment on tile 5: address=0x4bfff end=0x4c000 memory_size=1 data_size=0",
     "tiles[0].segments[0]"},
    {"segment_sum_overflows", [](Application& a) { a.tiles[0].segments = {seg(0xffffff00, 0x200)}; },
     "segment address overflow", "tiles[0].segments[0]"},
    {"segment_max_address_plus_one", [](Application& a) { a.tiles[0].segments = {seg(u32_max, 1)}; },
     "segment address overflow", "tiles[0].segments[0]"},
    {"segment_max_size", [](Application& a) { a.tiles[0].segments = {seg(1, u32_max)}; },
     "segment address overflow", "tiles[0].segments[0]"},
    {"segment_max_address_empty", [](Application& a) { a.tiles[0].segments = {seg(u32_max, 0)}; },
     "invalid segment on tile 5: address=0xffffffff end=0xffffffff memory_size=0 data_size=0",
     "tiles[0].segments[0]"},
    {"segment_zero_address_zero_size", [](Application& a) { a.tiles[0].segments = {seg(0, 0)}; },
     "invalid segment on tile 5: address=0x0 end=0x0 memory_size=0 data_size=0", "tiles[0].segments[0]"},
    {"adjacent_segments_pass",
     [](Application& a) { a.tiles[0].segments = {seg(0x4c000, 0x100), seg(0x4c100, 0x100)}; },
     std::nullopt},
    {"overlap_higher_listed_first",
     [](Application& a) { a.tiles[0].segments = {seg(0x4c100, 0x100), seg(0x4c000, 0x101)}; },
     "overlapping segments on tile 5: 0x4c000..0x4c101 and 0x4c100..0x4c200", "tiles[0]"},
    {"same_start_overlaps",
     [](Application& a) { a.tiles[0].segments = {seg(0x60000, 0x20), seg(0x60000, 0x10)}; },
     "overlapping segments on tile 5: 0x60000..0x60010 and 0x60000..0x60020", "tiles[0]"},
    {"overlap_found_beyond_neighbour",
     [](Application& a) {
       a.tiles[0].segments = {seg(0x60000, 0x1000), seg(0x60100, 0x10), seg(0x60800, 0x10)};
     },
     "overlapping segments on tile 5: 0x60000..0x61000 and 0x60100..0x60110", "tiles[0]"},
    {"empty_segment_at_start_of_another_passes",
     [](Application& a) { a.tiles[0].segments = {seg(0x4c000, 0x100), seg(0x4c000, 0)}; },
     std::nullopt},
    {"overlap_on_second_tile",
     [](Application& a) { a.tiles[1].segments = {seg(0x70000, 8), seg(0x70004, 8)}; },
     "overlapping segments on tile 7: 0x70000..0x70008 and 0x70004..0x7000c", "tiles[1]"},

    // Step 5.
    {"profile_steps_0_1_2_pass",
     [](Application& a) {
       auto step = a.profile_tiles[0].steps[1];
       step.local_index = 2;
       a.profile_tiles[0].steps.push_back(step);
     },
     std::nullopt},
    {"profile_steps_1_2_3",
     [](Application& a) { for (std::uint32_t i = 0; auto& s : a.profile_tiles[0].steps) s.local_index = ++i; },
     "invalid tile profile plan", "profile_tiles[0].steps[0]"},
    {"step_local_index", [](Application& a) { a.profile_tiles[0].steps[1].local_index = 0; },
     "invalid tile profile plan", "profile_tiles[0].steps[1]"},
    {"profile_plan_without_steps_passes", [](Application& a) { a.profile_tiles[0].steps.clear(); }, std::nullopt},
    {"profile_missing_tile", [](Application& a) { a.profile_tiles[0].physical_tile = 6; },
     "invalid tile profile plan", "profile_tiles[0]"},
    {"profile_two_plans_one_tile",
     [](Application& a) { a.profile_tiles.push_back(TileProfilePlan{5, {}}); }, "invalid tile profile plan",
     "profile_tiles[1]"},
    {"profile_before_debug_map",
     [](Application& a) { a.profile_tiles[0].physical_tile = 6; a.debug_symbols[0].name.clear(); },
     "invalid tile profile plan", "profile_tiles[0]"},

    // Step 6.
    {"debug_symbol_empty_name", [](Application& a) { a.debug_symbols[0].name.clear(); },
     "invalid package debug map", "debug_symbols[0]"},
    {"symbol_before_region",
     [](Application& a) { a.debug_regions[0].size = 0; a.debug_symbols[0].name.clear(); },
     "invalid package debug map", "debug_symbols[0]"},
    {"debug_region_empty_name", [](Application& a) { a.debug_regions[0].name.clear(); },
     "invalid package debug map", "debug_regions[0]"},
    {"region", [](Application& a) { a.debug_regions[1].name.clear(); }, "invalid package debug map",
     "debug_regions[1]"},
    {"debug_region_size_zero", [](Application& a) { a.debug_regions[0].size = 0; }, "invalid package debug map",
     "debug_regions[0]"},
    {"debug_region_sum_overflows",
     [](Application& a) { a.debug_regions[0].address = 0xfffffff0; a.debug_regions[0].size = 0x11; },
     "invalid package debug map", "debug_regions[0]"},
    {"debug_region_ends_at_u32_max",
     [](Application& a) { a.debug_regions[0].address = 0xfffffff0; a.debug_regions[0].size = 0xf; },
     std::nullopt},
    {"debug_region_unknown_tile", [](Application& a) { a.debug_regions[0].physical_tile = 6; },
     "invalid package debug map", "debug_regions[0]"},
    {"debug_map_before_bindings",
     [](Application& a) { a.debug_regions[1].size = 0; a.inputs[0].name.clear(); },
     "invalid package debug map", "debug_regions[1]"},

    // Step 7.
    {"input_and_weight_share_name", [](Application& a) { a.weights[0].name = "image"; },
     "empty or duplicate binding image", "weights[0]"},
    {"binding_name_in_weights", [](Application& a) { a.weights[0].name = "logits"; },
     "empty or duplicate binding logits", "weights[0]"},
    {"outputs_before_weights",
     [](Application& a) { a.weights[0].name = "image"; a.outputs[0].slices[0].tile = 9; },
     "binding logits references invalid tile memory", "outputs[0].slices[0]"},
    {"names_are_case_sensitive", [](Application& a) { a.weights[0].name = "Image"; }, std::nullopt},
    {"empty_binding_name", [](Application& a) { a.outputs[0].name.clear(); }, "empty or duplicate binding ",
     "outputs[0]"},
    {"slice_too_large", [](Application& a) { a.inputs[0].slices[0].size = std::uint64_t{1} << 32; },
     "binding image slice is too large", "inputs[0].slices[0]"},
    {"slice_size_u64_max", [](Application& a) { a.inputs[0].slices[0].size = u64_max; },
     "binding image slice is too large", "inputs[0].slices[0]"},
    // A quoted name is cut at 1 KiB, never inside a character, and says what it left out.
    {"name_of_1024_bytes_whole",
     [](Application& a) { a.inputs[0].name = std::string(1024, 'n'); a.inputs[0].slices[0].size = u64_max; },
     "binding " + std::string(1024, 'n') + " slice is too large", "inputs[0].slices[0]"},
    {"name_of_1025_bytes_cut",
     [](Application& a) { a.inputs[0].name = std::string(1025, 'n'); a.inputs[0].slices[0].size = u64_max; },
     "binding " + std::string(1024, 'n') + "...[1 more bytes] slice is too large", "inputs[0].slices[0]"},
    {"name_cut_before_a_character",
     [](Application& a) { a.inputs[0].name = std::string(1023, 'n') + "\u00e9b"; a.inputs[0].slices[0].size = u64_max; },
     "binding " + std::string(1023, 'n') + "...[3 more bytes] slice is too large", "inputs[0].slices[0]"},
    {"call_name_cut",
     [](Application& a) { fetch(a).name = std::string(5000, 'c'); fetch(a).invocations = 0; },
     "host call " + std::string(1024, 'c') + "...[3976 more bytes] has no invocations",
     "host_exchange.calls[0].invocations"},
    {"slice_address_overflow",
     [](Application& a) { a.inputs[0].slices[0].tile_address = 0xffffff00; a.inputs[0].slices[0].size = 0x100; },
     "binding address overflow", "inputs[0].slices[0]"},
    {"slice_max_size_overflows", [](Application& a) { a.inputs[0].slices[0].size = u32_max; },
     "binding address overflow", "inputs[0].slices[0]"},
    {"slice_unknown_tile", [](Application& a) { a.outputs[0].slices[0].tile = 9; },
     "binding logits references invalid tile memory", "outputs[0].slices[0]"},
    {"slice_below_window", [](Application& a) { a.outputs[0].slices[0].tile_address = 0x4bfff; },
     "binding logits references invalid tile memory", "outputs[0].slices[0]"},
    {"slice_ends_at_window_end",
     [](Application& a) { a.outputs[0].slices[0].tile_address = 0xe7fc0; }, std::nullopt},
    {"slice_ends_past_window",
     [](Application& a) { a.outputs[0].slices[0].tile_address = 0xe7fc1; },
     "binding logits references invalid tile memory", "outputs[0].slices[0]"},
    {"bindings_before_page_table",
     [](Application& a) { a.weights[0].name.clear(); a.host_exchange.pages.push_back({1, 1}); },
     "empty or duplicate binding ", "weights[0]"},

    // Step 8.
    {"duplicate_page_index", [](Application& a) { a.host_exchange.pages.push_back({2, 0x10}); },
     "invalid host page table", "host_exchange.pages[2]"},
    {"repeated_page", [](Application& a) { a.host_exchange.pages.push_back({1, 8}); },
     "invalid host page table", "host_exchange.pages[2]"},
    {"attach_order_names_missing_page", [](Application& a) { a.host_exchange.attach_order.push_back(3); },
     "invalid host page table", "host_exchange.attach_order[2]"},
    {"attach_order", [](Application& a) { a.host_exchange.attach_order = {1, 2, 3}; },
     "invalid host page table", "host_exchange.attach_order[2]"},
    {"attach_order_repeats_index", [](Application& a) { a.host_exchange.attach_order = {1, 1, 2, 2}; },
     std::nullopt},

    // Step 9.
    {"no_calls_command_page_unchecked",
     [](Application& a) { a.host_exchange.calls.clear(); a.host_exchange.command_page = 99; },
     std::nullopt},
    {"command_page_missing", [](Application& a) { a.host_exchange.command_page = 99; },
     "invalid host startup protocol", "host_exchange.command_page"},
    {"command_page", [](Application& a) { a.host_exchange.command_page = 9; },
     "invalid host startup protocol", "host_exchange.command_page"},
    {"command_slot_at_page_end_minus_4", [](Application& a) { a.host_exchange.command_offset = 0x1000 - 4; },
     std::nullopt},
    {"command_slot_one_byte_over", [](Application& a) { a.host_exchange.command_offset = 0x1000 - 3; },
     "invalid host startup protocol", "host_exchange.command_offset"},
    {"command_offset", [](Application& a) { a.host_exchange.command_offset = 0x1000; },
     "invalid host startup protocol", "host_exchange.command_offset"},
    {"command_offset_sum_overflows", [](Application& a) { a.host_exchange.command_offset = u64_max - 1; },
     "invalid host startup protocol", "host_exchange.command_offset"},
    {"command_slot_on_tiny_page",
     [](Application& a) { a.host_exchange.pages[0].size = 3; a.host_exchange.calls[0].inputs.clear();
                          a.host_exchange.calls[0].input_batch_ends.clear(); },
     "invalid host startup protocol", "host_exchange.command_offset"},

    // Step 10.
    {"invocations", [](Application& a) { fetch(a).invocations = 0; }, "host call fetch has no invocations",
     "host_exchange.calls[0].invocations"},
    {"no_invocations_before_batches",
     [](Application& a) { fetch(a).invocations = 0; fetch(a).input_batch_ends = {7}; },
     "host call fetch has no invocations", "host_exchange.calls[0].invocations"},
    {"input_batches_3_pass", [](Application& a) { fetch(a).input_batch_ends = {3}; }, std::nullopt},
    {"input_batches_empty", [](Application& a) { fetch(a).input_batch_ends = {}; },
     "host call fetch input batches cover 0 of 3 slices", "host_exchange.calls[0].input_batch_ends"},
    {"input_batches_start_at_0", [](Application& a) { fetch(a).input_batch_ends = {0, 3}; },
     "host call fetch has invalid input batch boundary 0", "host_exchange.calls[0].input_batch_ends"},
    {"input_batches_repeat", [](Application& a) { fetch(a).input_batch_ends = {2, 2, 3}; },
     "host call fetch has invalid input batch boundary 2", "host_exchange.calls[0].input_batch_ends"},
    {"input_batches_beyond_slices", [](Application& a) { fetch(a).input_batch_ends = {4}; },
     "host call fetch has invalid input batch boundary 4", "host_exchange.calls[0].input_batch_ends"},
    {"input_batches_short", [](Application& a) { fetch(a).input_batch_ends = {1, 2}; },
     "host call fetch input batches cover 2 of 3 slices", "host_exchange.calls[0].input_batch_ends"},
    {"input_batch_u32_max", [](Application& a) { fetch(a).input_batch_ends = {1, u32_max}; },
     "host call fetch has invalid input batch boundary 4294967295", "host_exchange.calls[0].input_batch_ends"},
    {"input_batch_ends_before_output_batch_ends",
     [](Application& a) { fetch(a).output_batch_ends = {}; fetch(a).input_batch_ends = {3, 3}; },
     "host call fetch has invalid input batch boundary 3", "host_exchange.calls[0].input_batch_ends"},
    {"no_outputs_no_ends_pass",
     [](Application& a) { fetch(a).outputs.clear(); fetch(a).output_batch_ends.clear(); }, std::nullopt},
    {"output_batch_ends", [](Application& a) { fetch(a).output_batch_ends = {}; },
     "host call fetch output batches cover 0 of 1 slices", "host_exchange.calls[0].output_batch_ends"},
    {"output_ends_without_outputs",
     [](Application& a) { fetch(a).outputs.clear(); },
     "host call fetch has invalid output batch boundary 1", "host_exchange.calls[0].output_batch_ends"},
    {"batches_before_slices",
     [](Application& a) { fetch(a).output_batch_ends = {}; fetch(a).inputs[0].page = 42; },
     "host call fetch output batches cover 0 of 1 slices", "host_exchange.calls[0].output_batch_ends"},
    {"slice_on_missing_page", [](Application& a) { fetch(a).outputs[0].page = 42; },
     "host call fetch references missing page", "host_exchange.calls[0].outputs[0]"},
    {"output_slice", [](Application& a) { fetch(a).outputs[0].page = 9; },
     "host call fetch references missing page", "host_exchange.calls[0].outputs[0]"},
    {"inputs_before_outputs",
     [](Application& a) { fetch(a).outputs[0].page = 9; fetch(a).inputs[2].size = 0x2001; },
     "host call fetch exceeds page bounds", "host_exchange.calls[0].inputs[2]"},
    // Page indexes too far apart for a table by index are searched instead.
    {"sparse_pages_pass", [](Application& a) { a.host_exchange.pages.push_back({0xfffffff0, 8}); }, std::nullopt},
    {"sparse_pages_slice_on_missing_page",
     [](Application& a) { a.host_exchange.pages.push_back({0xfffffff0, 8}); fetch(a).outputs[0].page = 42; },
     "host call fetch references missing page", "host_exchange.calls[0].outputs[0]"},
    {"sparse_pages_slice_sized_by_its_page",
     [](Application& a) { a.host_exchange.pages.push_back({0xfffffff0, 8}); fetch(a).outputs[0].page = 0xfffffff0; },
     "host call fetch exceeds page bounds", "host_exchange.calls[0].outputs[0]"},
    {"sparse_pages_attach_order_missing",
     [](Application& a) { a.host_exchange.pages.push_back({0xfffffff0, 8}); a.host_exchange.attach_order.push_back(0xfffffff1); },
     "invalid host page table", "host_exchange.attach_order[2]"},
    {"slice_ends_at_page_end",
     [](Application& a) { fetch(a).inputs[2].page_offset = 0x2000 - 0x100; }, std::nullopt},
    {"slice_one_byte_past_page",
     [](Application& a) { fetch(a).inputs[2].page_offset = 0x2000 - 0x100 + 1; },
     "host call fetch exceeds page bounds", "host_exchange.calls[0].inputs[2]"},
    {"slice_sum_overflows",
     [](Application& a) { fetch(a).inputs[0].page_offset = u64_max; fetch(a).inputs[0].size = 2; },
     "host call fetch exceeds page bounds", "host_exchange.calls[0].inputs[0]"},
    {"host_slice_size_u64_max", [](Application& a) { fetch(a).outputs[0].size = u64_max; },
     "host call fetch exceeds page bounds", "host_exchange.calls[0].outputs[0]"},
    {"second_call_checked",
     [](Application& a) {
       a.host_exchange.calls.push_back(HostCall{"", 0, 0, {}, {}, 0, {}, {}});
     },
     "host call  has no invocations", "host_exchange.calls[1].invocations"},
};

INSTANTIATE_TEST_SUITE_P(Rules, ValidatorCase, ::testing::ValuesIn(cases),
                         [](const auto& info) { return info.param.name; });

TEST(ValidateHostBatchEnds, CountsAboveU32AreCompared) {
  const HostCall call{"big", 0, 0, {}, {}, 1, {}, {}};
  const std::uint32_t ends[] = {u32_max};
  const std::size_t many = std::size_t{u32_max} + 1;
  const auto result = validate_host_batch_ends(call, "output", ends, many);
  ASSERT_FALSE(result);
  EXPECT_EQ(*result.error().invalid_message(),
            "host call big output batches cover 4294967295 of 4294967296 slices");
  EXPECT_TRUE(validate_host_batch_ends(call, "output", ends, u32_max));
}

TEST(ValidateLargePackage, ManyTilesAndSegmentsPass) {
  Application app;
  for (std::uint32_t t = 0; t < 2000; ++t) {
    TileImage tile{t, 0, 0, 0, {}};
    for (std::uint32_t s = 0; s < 50; ++s) tile.segments.push_back(seg(0x4c000 + s * 0x100, 0x100));
    app.tiles.push_back(std::move(tile));
  }
  EXPECT_TRUE(app.validate());
  app.tiles.back().segments.push_back(seg(0x4c0ff, 1));
  const auto result = app.validate();
  ASSERT_FALSE(result);
  EXPECT_EQ(*result.error().invalid_message(),
            "overlapping segments on tile 1999: 0x4c000..0x4c100 and 0x4c0ff..0x4c100");
}

}  // namespace
}  // namespace torv_package
