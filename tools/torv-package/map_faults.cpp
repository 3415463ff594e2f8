#include "map_faults.hpp"

#include <algorithm>
#include <charconv>
#include <optional>

namespace torv_package::cli {
namespace {

// "name[index]" at the front of `location`, taken off it with the dot after it.
std::optional<std::uint32_t> step(std::string_view& location, std::string_view name) {
  if (!location.starts_with(name) || location.substr(name.size(), 1) != "[") return std::nullopt;
  const char* first = location.data() + name.size() + 1;
  const char* end = location.data() + location.size();
  std::uint32_t index = 0;
  const auto [at, error] = std::from_chars(first, end, index);
  if (error != std::errc() || at == end || *at != ']') return std::nullopt;
  location.remove_prefix(static_cast<std::size_t>(at + 1 - location.data()));
  if (location.starts_with(".")) location.remove_prefix(1);
  return index;
}

template <class T>
void sort_unique(std::vector<T>& keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

}  // namespace

void FaultMarks::add(std::string_view location) {
  if (const auto tile = step(location, "tiles")) {
    segments_.push_back({*tile, step(location, "segments").value_or(whole), 0});
    return;
  }
  constexpr std::string_view lists[] = {"inputs", "outputs", "weights"};
  for (std::uint32_t list = 0; list < 3; ++list) {
    if (const auto binding = step(location, lists[list])) {
      slices_.push_back({list, *binding, step(location, "slices").value_or(whole)});
      return;
    }
  }
  if (const auto region = step(location, "debug_regions")) regions_.push_back(*region);
}

void FaultMarks::finish(const View<Application>& app) {
  sort_unique(segments_);
  sort_unique(slices_);
  sort_unique(regions_);
  const auto tiles = app.tiles();
  for (const Key& key : segments_) {
    if (key[0] < tiles.size()) tile_numbers_.push_back(tiles[key[0]].physical_tile());
  }
  const decltype(app.inputs()) lists[] = {app.inputs(), app.outputs(), app.weights()};
  for (const Key& key : slices_) {
    if (key[1] >= lists[key[0]].size()) continue;
    const auto slices = lists[key[0]][key[1]].slices();
    if (key[2] != whole) {
      if (key[2] < slices.size()) tile_numbers_.push_back(slices[key[2]].tile());
    } else {
      for (const auto slice : slices) tile_numbers_.push_back(slice.tile());
    }
  }
  const auto regions = app.debug_regions();
  for (const std::uint32_t r : regions_) {
    if (r < regions.size()) tile_numbers_.push_back(regions[r].physical_tile());
  }
  sort_unique(tile_numbers_);
}

bool FaultMarks::tile_number(std::uint32_t number) const {
  return std::binary_search(tile_numbers_.begin(), tile_numbers_.end(), number);
}

bool FaultMarks::tile(std::uint32_t position) const {
  return std::binary_search(segments_.begin(), segments_.end(), Key{position, whole, 0});
}

bool FaultMarks::segment(std::uint32_t tile_position, std::uint32_t segment) const {
  return std::binary_search(segments_.begin(), segments_.end(), Key{tile_position, segment, 0});
}

bool FaultMarks::slice(std::uint32_t list, std::uint32_t binding, std::uint32_t slice) const {
  return std::binary_search(slices_.begin(), slices_.end(), Key{list, binding, whole}) ||
         std::binary_search(slices_.begin(), slices_.end(), Key{list, binding, slice});
}

bool FaultMarks::region(std::uint32_t position) const {
  return std::binary_search(regions_.begin(), regions_.end(), position);
}

}  // namespace torv_package::cli
