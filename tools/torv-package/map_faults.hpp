#pragma once

// Which of what map draws the consistency rules' faults concern, read from each fault's
// location: a tile or one of its segments, a binding or one of its slices, a debug region.
// Faults elsewhere (the host exchange, profile plans) are listed but mark nothing. Kept
// as sorted keys, a few bytes per fault.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "torv_package/view.hpp"

namespace torv_package::cli {

class FaultMarks {
 public:
  // Takes the place a fault's location names, if it is one map draws.
  void add(std::string_view location);
  // Sorts what was added; the queries below need it. Tile numbers come from `app`.
  void finish(const View<Application>& app);

  bool tile_number(std::uint32_t number) const;  // the tile, or something drawn on it
  bool tile(std::uint32_t position) const;       // the tile image itself (a repeat, overlaps)
  bool segment(std::uint32_t tile_position, std::uint32_t segment) const;
  // A slice by its binding's list (0 inputs, 1 outputs, 2 weights), the binding's position
  // and its own; marked also when the whole binding is.
  bool slice(std::uint32_t list, std::uint32_t binding, std::uint32_t slice) const;
  bool region(std::uint32_t position) const;

 private:
  using Key = std::array<std::uint32_t, 3>;
  static constexpr std::uint32_t whole = 0xFFFFFFFF;  // a tile or binding as a whole
  std::vector<Key> segments_;  // {tile position, segment or whole, 0}
  std::vector<Key> slices_;    // {list, binding, slice or whole}
  std::vector<std::uint32_t> regions_;
  std::vector<std::uint32_t> tile_numbers_;
};

}  // namespace torv_package::cli
