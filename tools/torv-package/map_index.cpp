#include "map_index.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace torv_package::cli {

std::span<const std::uint64_t> take_tile(std::span<const std::uint64_t>& keys, std::uint32_t tile) {
  std::size_t n = 0;
  while (n < keys.size() && key_tile(keys[n]) == tile) ++n;
  const auto taken = keys.first(n);
  keys = keys.subspan(n);
  return taken;
}

std::vector<TileSummary> tile_summaries(const View<Application>& app) {
  const auto images = app.tiles();
  std::vector<TileSummary> tiles;
  tiles.reserve(images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    const auto segments = images[i].segments();
    std::uint64_t memory = 0, stored = 0;
    for (const auto segment : segments) {
      const std::uint64_t start = std::max<std::uint64_t>(segment.address(), tile_memory_base);
      const std::uint64_t end =
          std::min<std::uint64_t>(std::uint64_t{segment.address()} + segment.memory_size(), tile_memory_end);
      if (end > start) memory += end - start;
      stored += segment.data().size();
    }
    constexpr std::uint64_t most = std::numeric_limits<std::uint32_t>::max();
    tiles.push_back({images[i].physical_tile(), static_cast<std::uint32_t>(i),
                     static_cast<std::uint32_t>(segments.size()), static_cast<std::uint32_t>(std::min(memory, most)),
                     static_cast<std::uint32_t>(std::min(stored, most))});
  }
  std::sort(tiles.begin(), tiles.end(), [](const TileSummary& a, const TileSummary& b) {
    return a.number != b.number ? a.number < b.number : a.index < b.index;
  });
  return tiles;
}

std::vector<std::uint64_t> regions_by_tile(const View<Application>& app) {
  const auto regions = app.debug_regions();
  std::vector<std::uint64_t> keys;
  keys.reserve(regions.size());
  for (std::size_t i = 0; i < regions.size(); ++i) {
    keys.push_back(tile_key(regions[i].physical_tile(), static_cast<std::uint32_t>(i)));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

SlicesByTile::SlicesByTile(const View<Application>& app) : lists_{app.inputs(), app.outputs(), app.weights()} {
  starts_.reserve(lists_[0].size() + lists_[1].size() + lists_[2].size() + 1);
  std::uint64_t total = 0;
  for (const auto& list : lists_) {
    for (const auto binding : list) {
      starts_.push_back(static_cast<std::uint32_t>(total));
      total += binding.slices().size();
      if (total > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many binding slices");
    }
  }
  starts_.push_back(static_cast<std::uint32_t>(total));
  keys_.reserve(total);
  std::uint32_t position = 0;
  for (const auto& list : lists_) {
    for (const auto binding : list) {
      for (const auto slice : binding.slices()) keys_.push_back(tile_key(slice.tile(), position++));
    }
  }
  std::sort(keys_.begin(), keys_.end());
}

SliceOnTile SlicesByTile::slice(std::uint64_t key) const {
  static constexpr std::string_view kinds[] = {"input", "output", "weight"};
  const std::uint32_t position = key_position(key);
  // The last binding that starts at or before the slice: bindings with no slices start
  // where the next one does.
  std::size_t binding = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), position) -
                                                 starts_.begin()) - 1;
  const std::size_t index = position - starts_[binding];
  std::size_t kind = 0;
  while (binding >= lists_[kind].size()) binding -= lists_[kind++].size();
  const auto owner = lists_[kind][binding];
  const auto slice = owner.slices()[index];
  return {kinds[kind], owner.name(), index, slice.tile_address(), slice.size(), static_cast<std::uint32_t>(kind),
          static_cast<std::uint32_t>(binding)};
}

}  // namespace torv_package::cli
