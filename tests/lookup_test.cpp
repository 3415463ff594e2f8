// Lookups by tile and by name, and the bytes they give, on the model and on a view of the
// same package (opened with its faults kept, so that refused shapes reach them too).
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package_writer.hpp"
#include "sample_package.hpp"
#include "torv_package/view.hpp"

namespace torv_package {
namespace {

PackageView view_of(const Application& app) {
  const auto path = std::filesystem::temp_directory_path() / ("lookup_test_" + std::to_string(::getpid()) + ".torv");
  std::ofstream(path, std::ios::binary) << testing::serialize(app);
  FaultList faults;
  ReadDetails details;
  auto view = PackageView::open(path, details, faults);
  std::filesystem::remove(path);
  EXPECT_TRUE(view) << view.error().debug_string();
  return std::move(*view);
}

// A loader, byte by byte: each segment's data in stored order, inside the window only.
std::vector<std::uint8_t> loaded(const TileImage& tile) {
  std::vector<std::uint8_t> window(tile_memory_size);
  for (const Segment& segment : tile.segments) {
    for (std::size_t i = 0; i < segment.data.size(); ++i) {
      const std::uint64_t at = std::uint64_t{segment.address} + i;
      if (at >= tile_memory_base && at < tile_memory_end) window[at - tile_memory_base] = segment.data[i];
    }
  }
  return window;
}

std::vector<std::uint8_t> gathered(const Application& app, const Binding& binding) {
  std::vector<std::uint8_t> bytes;
  for (const RegionSlice& slice : binding.slices) {
    const TileImage* tile = nullptr;
    for (const TileImage& t : app.tiles) {
      if (t.physical_tile == slice.tile && tile == nullptr) tile = &t;
    }
    const std::vector<std::uint8_t> window = tile ? loaded(*tile) : std::vector<std::uint8_t>(tile_memory_size);
    for (std::uint64_t j = 0; j < slice.size; ++j) {
      const std::uint64_t at = slice.tile_address + j;
      bytes.push_back(at >= tile_memory_base && at < tile_memory_end ? window[at - tile_memory_base] : 0);
    }
  }
  return bytes;
}

std::vector<std::uint8_t> counting(std::size_t n, std::uint8_t from) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(from + i);
  return bytes;
}

// The sample with a weight whose slices cross segment ends, gaps and both tiles.
Application base() {
  Application app = testing::valid_application();
  app.tiles[0].segments[1].data = counting(16, 0x10);
  app.weights[0].slices = {{5, 0x4c0f8, 0, 0x10}, {5, 0x50004, 0, 0x20}, {7, 0xe7f00, 0, 0x80}, {5, 0x4c000, 0, 4}};
  return app;
}

struct Case {
  const char* name;
  std::function<void(Application&)> change;
};

const Case byte_cases[] = {
    {"valid", [](Application&) {}},
    {"segments_overlap_later_wins",
     [](Application& app) {
       auto& segments = app.tiles[0].segments;
       segments.push_back({0x4c080, 0x100, counting(0x100, 0x40), 0});
       segments.push_back({0x4c0f0, 0x20, std::vector<std::uint8_t>(0x20, 0xcc), 0});
       segments.push_back({0x4c000, 0x10, std::vector<std::uint8_t>(0x10, 0xdd), 0});
     }},
    {"segment_data_past_either_end_of_tile_memory",
     [](Application& app) {
       app.tiles[1].segments.push_back({0xe7ff0, 0x20, counting(0x20, 0x80), 0});
       app.tiles[1].segments.push_back({0x4bff0, 0x10, counting(0x20, 0xa0), 0});
       app.weights[0].slices.push_back({7, 0x4c000, 0, 0x10});
       app.weights[0].slices.push_back({7, 0xe7ff8, 0, 0x10});
     }},
    {"slices_outside_tile_memory_or_on_a_missing_tile",
     [](Application& app) {
       app.weights[0].slices.push_back({9, 0x4c000, 0, 4});
       app.weights[0].slices.push_back({5, 0x4bffc, 0, 8});
       app.weights[0].slices.push_back({5, 0xfffffff8, 0, 16});
       app.weights[0].slices.push_back({5, 0x4c000, 0, 0});
     }},
    {"repeated_tile_reads_the_first", [](Application& app) { app.tiles[1].physical_tile = 5; }},
};

class Bytes : public ::testing::TestWithParam<Case> {};

TEST_P(Bytes, ModelAndViewPlaceDataAsALoaderDoes) {
  Application app = base();
  GetParam().change(app);
  const PackageView view = view_of(app);
  for (const std::uint32_t physical : {5u, 7u, 9u}) {
    SCOPED_TRACE(physical);
    const TileImage* first = app.tile(physical);
    const auto from_model = app.tile_memory(physical);
    const auto from_view = view.tile_memory(physical);
    ASSERT_EQ(from_model.has_value(), first != nullptr);
    ASSERT_EQ(from_view.has_value(), first != nullptr);
    if (first == nullptr) continue;
    EXPECT_EQ(*from_model, loaded(*first));
    EXPECT_EQ(*from_view, loaded(*first));
  }
  for (const auto* list : {&app.inputs, &app.outputs, &app.weights}) {
    for (const Binding& binding : *list) {
      SCOPED_TRACE(binding.name);
      const auto from_model = app.binding_bytes(binding.name);
      const auto from_view = view.binding_bytes(binding.name);
      ASSERT_TRUE(from_model) << from_model.error().debug_string();
      ASSERT_TRUE(from_view) << from_view.error().debug_string();
      EXPECT_EQ(*from_model, gathered(app, binding));
      EXPECT_EQ(*from_view, gathered(app, binding));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lookup, Bytes, ::testing::ValuesIn(byte_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// What each lookup finds, by the entry point (tiles) or dtype (bindings) that tells the
// records apart; "" for nothing found.
TEST(Lookup, FindsTheFirstRecordByNumberOrName) {
  Application app = base();
  app.tiles.push_back({7, 0x777, 0, 0, {}});      // a repeat, stored after
  app.weights.push_back({"image", "repeat", {}, {}});  // named as an input
  const PackageView view = view_of(app);
  const struct {
    std::uint32_t physical;
    std::optional<std::uint32_t> entry_point;
  } tiles[] = {{5, 0x4c000}, {7, 0}, {6, {}}, {0, {}}, {0xffffffff, {}}};
  for (const auto& row : tiles) {
    SCOPED_TRACE(row.physical);
    const TileImage* in_model = app.tile(row.physical);
    const auto in_view = view.tile(row.physical);
    EXPECT_EQ(in_model ? std::optional(in_model->entry_point) : std::nullopt, row.entry_point);
    EXPECT_EQ(in_view ? std::optional(in_view->entry_point()) : std::nullopt, row.entry_point);
  }
  const struct {
    std::string_view name;
    std::string_view dtype;
  } bindings[] = {{"image", "f16"}, {"logits", "f32"}, {"w0", "f16"}, {"imag", ""}, {"", ""}, {std::string_view("w0\0", 3), ""}};
  for (const auto& row : bindings) {
    SCOPED_TRACE(row.name);
    const Binding* in_model = app.binding(row.name);
    const auto in_view = view.binding(row.name);
    EXPECT_EQ(in_model ? std::string_view(in_model->dtype) : "", row.dtype);
    EXPECT_EQ(in_view ? in_view->dtype() : "", row.dtype);
  }
  app.tile(7)->entry_point = 0x4c100;  // the model's lookups see its changes
  app.binding("w0")->name = "w1";
  EXPECT_EQ(app.tile(7)->entry_point, 0x4c100u);
  EXPECT_EQ(app.binding("w0"), nullptr);
  EXPECT_NE(app.binding("w1"), nullptr);
}

// Asks `reader` (the model or a view) for tile `tile`'s memory, or for the bytes of
// binding `binding` when one is named.
template <class Reader>
Result<std::vector<std::uint8_t>> ask(const Reader& reader, std::uint32_t tile, std::string_view binding) {
  return binding.empty() ? reader.tile_memory(tile) : reader.binding_bytes(binding);
}

TEST(Lookup, RefusesWhatItCannotGive) {
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  const struct {
    const char* name;
    std::vector<RegionSlice> slices;  // of weights[0], "w0"
    std::uint32_t tile;
    std::string_view binding;
    std::string debug_start;
    std::string location;
  } rows[] = {
      {"missing_tile", {}, 9, "", "Invalid(\"package has no tile 9\")", ""},
      {"missing_binding", {}, 0, "nope", "Invalid(\"package has no binding nope\")", ""},
      {"slices_past_the_budget", std::vector<RegionSlice>(100, {5, 0x4c000, 0, tile_memory_size}), 0, "w0",
       "Invalid(\"binding w0 holds more than ", "weights[0]"},
      {"slice_sizes_that_wrap", {{5, 0x4c000, 0, huge}, {5, 0x4c000, 0, 2}}, 0, "w0",
       "Invalid(\"binding w0 holds more than ", "weights[0]"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Application app = base();
    app.weights[0].slices = row.slices;
    const PackageView view = view_of(app);
    for (const auto& result : {ask(app, row.tile, row.binding), ask(view, row.tile, row.binding)}) {
      ASSERT_FALSE(result.has_value());
      EXPECT_TRUE(result.error().debug_string().starts_with(row.debug_start)) << result.error().debug_string();
      EXPECT_EQ(result.error().location(), row.location);
    }
  }
}

}  // namespace
}  // namespace torv_package
