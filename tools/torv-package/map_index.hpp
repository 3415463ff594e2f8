#pragma once

// What map draws, grouped by physical tile: sorted, never hashed (tile numbers come from
// the file, and numbers chosen to collide make a hash table quadratic), in entries of a
// few bytes per record, well below what the model spends on the same records.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "torv_package/view.hpp"

namespace torv_package::cli {

// A key: a physical tile number above the position of a record in its list, so that
// sorted keys group records by tile and keep each tile's in their stored order.
inline std::uint64_t tile_key(std::uint32_t tile, std::uint32_t position) {
  return std::uint64_t{tile} << 32 | position;
}
inline std::uint32_t key_tile(std::uint64_t key) { return static_cast<std::uint32_t>(key >> 32); }
inline std::uint32_t key_position(std::uint64_t key) { return static_cast<std::uint32_t>(key); }

// Takes the keys of `tile` off the front of `keys`.
std::span<const std::uint64_t> take_tile(std::span<const std::uint64_t>& keys, std::uint32_t tile);

// A tile image and what its segments take of its window. The sums fit in 32 bits: a
// valid tile's segments lie inside its window without overlapping.
struct TileSummary {
  std::uint32_t number = 0;    // physical tile
  std::uint32_t index = 0;     // in the package's list
  std::uint32_t segments = 0;
  std::uint32_t memory = 0;    // bytes of the window its segments take
  std::uint32_t stored = 0;    // bytes of data stored for them
};

// Every tile image, by number (then by position).
std::vector<TileSummary> tile_summaries(const View<Application>& app);

// Debug regions by tile: keys of their tiles and positions in the list; those tied to no
// tile (all_tiles) come last.
std::vector<std::uint64_t> regions_by_tile(const View<Application>& app);

// A binding slice as map names it.
struct SliceOnTile {
  std::string_view kind;  // input, output or weight
  std::string_view binding;
  std::size_t index;      // in the binding's list
  std::uint64_t address, size;
  std::uint32_t list;              // 0 inputs, 1 outputs, 2 weights
  std::uint32_t binding_position;  // in that list
};

// Every binding slice, by tile. A slice's position in its key counts through the slices
// of the inputs, the outputs and the weights in order; where bindings share one list of
// slices, each of its slices is counted (and drawn) once per binding.
class SlicesByTile {
 public:
  // Throws std::length_error beyond 2^32 slices, which no package within the reader's
  // memory budget holds.
  explicit SlicesByTile(const View<Application>& app);

  std::span<const std::uint64_t> keys() const { return keys_; }
  SliceOnTile slice(std::uint64_t key) const;

 private:
  ViewValue<std::vector<Binding>>::type lists_[3];
  std::vector<std::uint32_t> starts_;  // the first slice of each binding, then the total
  std::vector<std::uint64_t> keys_;
};

}  // namespace torv_package::cli
