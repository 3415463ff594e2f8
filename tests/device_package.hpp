#pragma once

#include <cstddef>
#include <cstdint>

#include "torv_package/application.hpp"

namespace torv_package::testing {

// A package shaped like a real device build: `tiles` tiles, each with segments that
// fill most of tile memory with about `data_per_tile` bytes of pseudo-random data, plus
// bindings, host calls, profile plans and debug symbols and regions in realistic numbers.
// The result passes validation.
Application device_application(std::uint32_t tiles, std::size_t data_per_tile);

// Tiles needed for a package of about `bytes` bytes with full tiles.
std::uint32_t tiles_for_size(std::size_t bytes);

inline constexpr std::size_t full_tile_data = 600 * 1024;
inline constexpr std::uint32_t device_tiles = 1472;

}  // namespace torv_package::testing
