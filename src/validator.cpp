#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "torv_package/application.hpp"

namespace torv_package {
namespace {

// Every address + size sum is formed in 64 bits and compared with the 32-bit range, so
// no sum can wrap around.
constexpr std::uint64_t u32_limit = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t command_slot_size = 4;

std::unexpected<PackageError> fail(std::string message) {
  return std::unexpected(PackageError::invalid(std::move(message)));
}

Result<void> check_config_writes(const std::vector<DeviceConfigWrite>& writes) {
  std::unordered_set<std::uint32_t> config_offsets;
  config_offsets.reserve(writes.size());
  for (const auto& write : writes) {
    if ((write.offset & 3u) != 0 || !config_offsets.insert(write.offset).second) {
      return fail("unaligned or duplicate device configuration write");
    }
  }
  return {};
}

Result<void> check_segments(const TileImage& tile) {
  for (const auto& segment : tile.segments) {
    const std::uint64_t end = std::uint64_t{segment.address} + segment.memory_size;
    if (end > u32_limit) return fail("segment address overflow");
    if (segment.address < tile_memory_base || end > tile_memory_end ||
        segment.data.size() > segment.memory_size) {
      return fail(fmt::format(
          "invalid segment on tile {}: address=0x{:x} end=0x{:x} memory_size={} data_size={}",
          tile.physical_tile, segment.address, end, segment.memory_size, segment.data.size()));
    }
  }
  return {};
}

// Called only once every segment of the tile has passed check_segments, so no end wraps.
Result<void> check_overlaps(const TileImage& tile,
                            std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges) {
  ranges.clear();
  for (const auto& segment : tile.segments) {
    if (segment.memory_size != 0) {
      ranges.emplace_back(segment.address, segment.address + segment.memory_size);
    }
  }
  std::sort(ranges.begin(), ranges.end());
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    const auto& lower = ranges[i - 1];
    const auto& higher = ranges[i];
    if (lower.second > higher.first) {
      return fail(fmt::format("overlapping segments on tile {}: 0x{:x}..0x{:x} and 0x{:x}..0x{:x}",
                              tile.physical_tile, lower.first, lower.second, higher.first,
                              higher.second));
    }
  }
  return {};
}

Result<void> check_tiles(const std::vector<TileImage>& tiles) {
  std::unordered_set<std::uint32_t> seen;
  seen.reserve(tiles.size());
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  for (const auto& tile : tiles) {
    if (!seen.insert(tile.physical_tile).second) {
      return fail(fmt::format("duplicate physical tile {}", tile.physical_tile));
    }
    if (auto ok = check_segments(tile); !ok) return ok;
    if (auto ok = check_overlaps(tile, ranges); !ok) return ok;
  }
  return {};
}

using TileIds = std::unordered_set<std::uint32_t>;

Result<void> check_profile_plans(const std::vector<TileProfilePlan>& plans, const TileIds& tile_ids) {
  std::unordered_set<std::uint32_t> profile_tile_ids;
  for (const auto& plan : plans) {
    bool ok = tile_ids.contains(plan.physical_tile) &&
              profile_tile_ids.insert(plan.physical_tile).second;
    for (std::size_t i = 0; ok && i < plan.steps.size(); ++i) {
      ok = plan.steps[i].local_index == i;
    }
    if (!ok) return fail("invalid tile profile plan");
  }
  return {};
}

Result<void> check_debug_map(const Application& app, const TileIds& tile_ids) {
  const bool symbols_ok = std::ranges::none_of(
      app.debug_symbols, [](const DebugSymbol& symbol) { return symbol.name.empty(); });
  const bool regions_ok = std::ranges::all_of(app.debug_regions, [&](const DebugRegion& region) {
    return !region.name.empty() && region.size != 0 &&
           std::uint64_t{region.address} + region.size <= u32_limit &&
           (region.physical_tile == all_tiles || tile_ids.contains(region.physical_tile));
  });
  if (!symbols_ok || !regions_ok) return fail("invalid package debug map");
  return {};
}

Result<void> check_bindings(const Application& app, const TileIds& tile_ids) {
  std::unordered_set<std::string_view> binding_names;
  binding_names.reserve(app.inputs.size() + app.outputs.size() + app.weights.size());
  for (const auto* list : {&app.inputs, &app.outputs, &app.weights}) {
    for (const auto& binding : *list) {
      if (binding.name.empty() || !binding_names.insert(binding.name).second) {
        return fail(fmt::format("empty or duplicate binding {}", binding.name));
      }
      for (const auto& slice : binding.slices) {
        if (slice.size > u32_limit) {
          return fail(fmt::format("binding {} slice is too large", binding.name));
        }
        const std::uint64_t end = std::uint64_t{slice.tile_address} + slice.size;
        if (end > u32_limit) return fail("binding address overflow");
        if (!tile_ids.contains(slice.tile) || slice.tile_address < tile_memory_base ||
            end > tile_memory_end) {
          return fail(fmt::format("binding {} references invalid tile memory", binding.name));
        }
      }
    }
  }
  return {};
}

using PageMap = std::unordered_map<std::uint32_t, std::uint64_t>;

// True when [offset, offset + size) lies within the page; a sum beyond 64 bits never does.
bool fits_page(std::uint64_t offset, std::uint64_t size, std::uint64_t page_size) {
  return size <= page_size && offset <= page_size - size;
}

Result<void> check_host_calls(const HostExchange& exchange, const PageMap& pages) {
  for (const auto& call : exchange.calls) {
    if (call.invocations == 0) {
      return fail(fmt::format("host call {} has no invocations", call.name));
    }
    if (auto ok = validate_host_batch_ends(call, "input", call.input_batch_ends, call.inputs.size());
        !ok) {
      return ok;
    }
    if (auto ok =
            validate_host_batch_ends(call, "output", call.output_batch_ends, call.outputs.size());
        !ok) {
      return ok;
    }
    for (const auto* slices : {&call.inputs, &call.outputs}) {
      for (const auto& slice : *slices) {
        const auto page = pages.find(slice.page);
        if (page == pages.end()) {
          return fail(fmt::format("host call {} references missing page", call.name));
        }
        if (!fits_page(slice.page_offset, slice.size, page->second)) {
          return fail(fmt::format("host call {} exceeds page bounds", call.name));
        }
      }
    }
  }
  return {};
}

Result<void> check_host_exchange(const HostExchange& exchange) {
  PageMap pages;
  pages.reserve(exchange.pages.size());
  for (const auto& page : exchange.pages) pages.emplace(page.index, page.size);
  if (pages.size() < exchange.pages.size() ||
      !std::ranges::all_of(exchange.attach_order,
                           [&](std::uint32_t index) { return pages.contains(index); })) {
    return fail("invalid host page table");
  }
  if (!exchange.calls.empty()) {
    const auto command_page = pages.find(exchange.command_page);
    if (command_page == pages.end() ||
        !fits_page(exchange.command_offset, command_slot_size, command_page->second)) {
      return fail("invalid host startup protocol");
    }
  }
  return check_host_calls(exchange, pages);
}

}  // namespace

Result<void> validate_host_batch_ends(const HostCall& call, std::string_view direction,
                                      std::span<const std::uint32_t> ends,
                                      std::size_t slice_count) {
  std::size_t previous = 0;
  for (const std::uint32_t entry : ends) {
    const std::size_t e = entry;
    if (e <= previous || e > slice_count) {
      return fail(
          fmt::format("host call {} has invalid {} batch boundary {}", call.name, direction, e));
    }
    previous = e;
  }
  if (previous != slice_count) {
    return fail(fmt::format("host call {} {} batches cover {} of {} slices", call.name, direction,
                            previous, slice_count));
  }
  return {};
}

Result<void> Application::validate() const {
  if (tiles.empty()) return fail("application has no tiles");
  if (auto ok = check_config_writes(device_config_writes); !ok) return ok;
  if (auto ok = check_tiles(tiles); !ok) return ok;

  TileIds tile_ids;
  tile_ids.reserve(tiles.size());
  for (const auto& tile : tiles) tile_ids.insert(tile.physical_tile);

  if (auto ok = check_profile_plans(profile_tiles, tile_ids); !ok) return ok;
  if (auto ok = check_debug_map(*this, tile_ids); !ok) return ok;
  if (auto ok = check_bindings(*this, tile_ids); !ok) return ok;
  return check_host_exchange(host_exchange);
}

}  // namespace torv_package
