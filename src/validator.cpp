#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "path.hpp"
#include "utf8.hpp"
#include "torv_package/application.hpp"

namespace torv_package {
namespace {

// Every address + size sum is formed in 64 bits and compared with the 32-bit range, so
// no sum can wrap around.
constexpr std::uint64_t u32_limit = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t command_slot_size = 4;
constexpr std::size_t none = static_cast<std::size_t>(-1);

std::unexpected<PackageError> fail(std::string message) {
  return std::unexpected(PackageError::invalid(std::move(message)));
}

// A failure of the rule that examined `location`; the location is formed only here, once
// a rule has failed.
std::unexpected<PackageError> fail_at(std::string location, std::string_view message) {
  return std::unexpected(PackageError::invalid(std::string(message)).at(std::move(location)));
}

// Uniqueness and membership are decided by sorting, never by hashing: keys come from the
// file, and chosen keys can make any fixed hash quadratic. Sorting is n log n for any
// keys and gives the same answer on every run. The working sets hold 4-byte positions,
// at most half the size of the records they index, so that validation of a model stays
// within the reader's memory bound.

// Positions 0..n-1 of `items`, ordered by (key, position).
template <class Index, class T, class KeyOf>
std::vector<Index> sorted_positions(const std::vector<T>& items, KeyOf key_of) {
  std::vector<Index> order(items.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<Index>(i);
  std::sort(order.begin(), order.end(), [&](Index a, Index b) {
    const auto& ka = key_of(items[a]);
    const auto& kb = key_of(items[b]);
    return ka < kb || (ka == kb && a < b);
  });
  return order;
}

template <class Index, class T, class KeyOf>
std::size_t first_repeat_as(const std::vector<T>& items, KeyOf key_of) {
  const std::vector<Index> order = sorted_positions<Index>(items, key_of);
  std::size_t first = none;
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (key_of(items[order[i]]) == key_of(items[order[i - 1]])) {
      first = std::min<std::size_t>(first, order[i]);
    }
  }
  return first;
}

// Position of the first element whose key occurred earlier in stored order, or `none`.
template <class T, class KeyOf>
std::size_t first_repeat(const std::vector<T>& items, KeyOf key_of) {
  // Lists read from a file have fewer than 2^29 elements; only a model built in memory
  // can need wider positions.
  if (items.size() <= std::numeric_limits<std::uint32_t>::max()) {
    return first_repeat_as<std::uint32_t>(items, key_of);
  }
  return first_repeat_as<std::size_t>(items, key_of);
}

// The tile numbers of the package, for membership tests.
class TileIds {
 public:
  explicit TileIds(const std::vector<TileImage>& tiles) {
    ids_.reserve(tiles.size());
    for (const auto& tile : tiles) ids_.push_back(tile.physical_tile);
    std::sort(ids_.begin(), ids_.end());
  }
  bool contains(std::uint32_t id) const { return std::binary_search(ids_.begin(), ids_.end(), id); }

 private:
  std::vector<std::uint32_t> ids_;
};

// Host pages by index; built only from a page list without repeated indexes. Lookups
// never touch a page record until the page is found: where the indexes are dense, as
// compilers number pages, a table by index answers at once; otherwise the indexes are
// searched in breadth-first (Eytzinger) order, where the next levels of a search share a
// cache line that is fetched ahead, instead of one cache miss per probe.
class PageMap {
 public:
  explicit PageMap(const std::vector<HostPage>& pages) : pages_(pages) {
    std::uint64_t highest = 0;
    for (const HostPage& page : pages) highest = std::max<std::uint64_t>(highest, page.index);
    if (!pages.empty() && highest < 2 * std::uint64_t{pages.size()} + dense_slack) {
      by_index_.assign(highest + 1, none);
      for (std::size_t i = 0; i < pages.size(); ++i) by_index_[pages[i].index] = i;
      return;
    }
    // Sorted as (index, position) pairs: no record is read while sorting.
    std::vector<std::pair<std::uint32_t, std::size_t>> sorted(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) sorted[i] = {pages[i].index, i};
    std::sort(sorted.begin(), sorted.end());
    // Slot 0 is unused: the children of slot i are 2i and 2i + 1.
    keys_.resize(sorted.size() + 1);
    positions_.resize(sorted.size() + 1);
    std::size_t next = 0;
    fill(sorted, next, 1);
  }

  // The position in `indexes` of the first that names no page, or `none`. Sixteen searches
  // go down the tree side by side, so that their cache misses overlap.
  std::size_t first_missing(const std::vector<std::uint32_t>& indexes) const {
    constexpr std::size_t lanes = 16;
    for (std::size_t start = 0; start < indexes.size(); start += lanes) {
      const std::size_t count = std::min(lanes, indexes.size() - start);
      if (!by_index_.empty() || keys_.empty()) {
        for (std::size_t k = start; k < start + count; ++k) {
          if (find(indexes[k]) == nullptr) return k;
        }
        continue;
      }
      const std::size_t n = keys_.size() - 1;
      std::size_t slots[lanes];
      std::fill(slots, slots + count, std::size_t{1});
      for (int level = std::bit_width(n); level > 0; --level) {
        for (std::size_t k = 0; k < count; ++k) {
          if (slots[k] <= n) slots[k] = descend(slots[k], indexes[start + k]);
        }
      }
      for (std::size_t k = 0; k < count; ++k) {
        if (found_slot(slots[k], indexes[start + k]) == 0) return start + k;
      }
    }
    return none;
  }

  // The size of page `index`, or nothing.
  const std::uint64_t* find(std::uint32_t index) const {
    std::size_t position = none;
    if (!by_index_.empty()) {
      if (index < by_index_.size()) position = by_index_[index];
    } else if (!keys_.empty()) {
      std::size_t slot = 1;
      while (slot < keys_.size()) slot = descend(slot, index);
      if (const std::size_t at = found_slot(slot, index); at != 0) position = positions_[at];
    }
    return position == none ? nullptr : &pages_[position].size;
  }

 private:
  // Gaps a dense table may hold: a few unused pages never make the table larger than
  // twice the page list, plus this much.
  static constexpr std::uint64_t dense_slack = 1024;
  // One step down from `slot` towards `index`.
  std::size_t descend(std::size_t slot, std::uint32_t index) const {
    // Sixteen slots down is four levels down, one cache line; a prefetch never faults.
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(keys_.data()) +
                                                     16 * sizeof(std::uint32_t) * slot));
    return 2 * slot + (keys_[slot] < index ? 1 : 0);
  }

  // The slot holding `index` once a search has run off the tree at `slot`, or 0. Undoing
  // the right turns after the last left turn gives the slot of the least key not below
  // `index`.
  std::size_t found_slot(std::size_t slot, std::uint32_t index) const {
    slot >>= std::countr_one(slot) + 1;
    return slot != 0 && keys_[slot] == index ? slot : 0;
  }

  // Places the sorted pages in breadth-first order: an in-order walk of the implicit tree.
  // The depth is the tree's height, at most 64.
  void fill(const std::vector<std::pair<std::uint32_t, std::size_t>>& sorted, std::size_t& next,
            std::size_t slot) {
    if (slot >= keys_.size()) return;
    fill(sorted, next, 2 * slot);
    keys_[slot] = sorted[next].first;
    positions_[slot] = sorted[next].second;
    ++next;
    fill(sorted, next, 2 * slot + 1);
  }

  const std::vector<HostPage>& pages_;
  std::vector<std::size_t> by_index_;    // dense: position of each index, `none` for gaps
  std::vector<std::uint32_t> keys_;      // sparse: the indexes in breadth-first order
  std::vector<std::size_t> positions_;   // sparse: the position of each of keys_
};

Result<void> check_config_writes(const std::vector<DeviceConfigWrite>& writes) {
  const std::size_t repeat = first_repeat(writes, [](const auto& w) { return w.offset; });
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if ((writes[i].offset & 3u) != 0 || i == repeat) {
      return fail_at(indexed("device_config_writes", i),
                     "unaligned or duplicate device configuration write");
    }
  }
  return {};
}

Result<void> check_segments(const TileImage& tile, std::size_t tile_index) {
  for (std::size_t k = 0; k < tile.segments.size(); ++k) {
    const Segment& segment = tile.segments[k];
    const auto here = [&] { return fmt::format("tiles[{}].segments[{}]", tile_index, k); };
    const std::uint64_t end = std::uint64_t{segment.address} + segment.memory_size;
    if (end > u32_limit) return fail_at(here(), "segment address overflow");
    if (segment.address < tile_memory_base || end > tile_memory_end ||
        segment.data.size() > segment.memory_size) {
      return fail_at(here(), fmt::format(
          "invalid segment on tile {}: address=0x{:x} end=0x{:x} memory_size={} data_size={}",
          tile.physical_tile, segment.address, end, segment.memory_size, segment.data.size()));
    }
  }
  return {};
}

// Called only once every segment of the tile has passed check_segments, so no end wraps.
Result<void> check_overlaps(const TileImage& tile, std::size_t tile_index,
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
      return fail_at(indexed("tiles", tile_index),
                     fmt::format("overlapping segments on tile {}: 0x{:x}..0x{:x} and 0x{:x}..0x{:x}",
                              tile.physical_tile, lower.first, lower.second, higher.first,
                              higher.second));
    }
  }
  return {};
}

Result<void> check_tiles(const std::vector<TileImage>& tiles) {
  const std::size_t repeat = first_repeat(tiles, [](const auto& t) { return t.physical_tile; });
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    if (i == repeat) {
      return fail_at(indexed("tiles", i), fmt::format("duplicate physical tile {}", tiles[i].physical_tile));
    }
    if (auto ok = check_segments(tiles[i], i); !ok) return ok;
    if (auto ok = check_overlaps(tiles[i], i, ranges); !ok) return ok;
  }
  return {};
}

Result<void> check_profile_plans(const std::vector<TileProfilePlan>& plans, const TileIds& tile_ids) {
  // A repeated tile that is not a tile of the package fails at its first plan already.
  const std::size_t repeat = first_repeat(plans, [](const auto& p) { return p.physical_tile; });
  constexpr std::string_view message = "invalid tile profile plan";
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (!tile_ids.contains(plans[i].physical_tile) || i == repeat) {
      return fail_at(indexed("profile_tiles", i), message);
    }
    for (std::size_t k = 0; k < plans[i].steps.size(); ++k) {
      if (plans[i].steps[k].local_index != k) {
        return fail_at(fmt::format("profile_tiles[{}].steps[{}]", i, k), message);
      }
    }
  }
  return {};
}

Result<void> check_debug_map(const Application& app, const TileIds& tile_ids) {
  constexpr std::string_view message = "invalid package debug map";
  for (std::size_t i = 0; i < app.debug_symbols.size(); ++i) {
    if (app.debug_symbols[i].name.empty()) return fail_at(indexed("debug_symbols", i), message);
  }
  for (std::size_t i = 0; i < app.debug_regions.size(); ++i) {
    const DebugRegion& region = app.debug_regions[i];
    const bool ok = !region.name.empty() && region.size != 0 &&
                    std::uint64_t{region.address} + region.size <= u32_limit &&
                    (region.physical_tile == all_tiles || tile_ids.contains(region.physical_tile));
    if (!ok) return fail_at(indexed("debug_regions", i), message);
  }
  return {};
}

Result<void> check_bindings(const Application& app, const TileIds& tile_ids) {
  std::vector<const Binding*> bindings;
  bindings.reserve(app.inputs.size() + app.outputs.size() + app.weights.size());
  for (const auto* list : {&app.inputs, &app.outputs, &app.weights}) {
    for (const auto& binding : *list) bindings.push_back(&binding);
  }
  const std::size_t repeat =
      first_repeat(bindings, [](const Binding* b) { return std::string_view(b->name); });
  // Position i of the three lists taken together, as a location.
  const auto binding_at = [&](std::size_t i) {
    if (i < app.inputs.size()) return indexed("inputs", i);
    i -= app.inputs.size();
    if (i < app.outputs.size()) return indexed("outputs", i);
    return indexed("weights", i - app.outputs.size());
  };
  for (std::size_t i = 0; i < bindings.size(); ++i) {
    const Binding& binding = *bindings[i];
    if (binding.name.empty() || i == repeat) {
      return fail_at(binding_at(i), fmt::format("empty or duplicate binding {}", excerpt(binding.name)));
    }
    for (std::size_t k = 0; k < binding.slices.size(); ++k) {
      const RegionSlice& slice = binding.slices[k];
      const auto here = [&] { return fmt::format("{}.slices[{}]", binding_at(i), k); };
      if (slice.size > u32_limit) {
        return fail_at(here(), fmt::format("binding {} slice is too large", excerpt(binding.name)));
      }
      const std::uint64_t end = std::uint64_t{slice.tile_address} + slice.size;
      if (end > u32_limit) return fail_at(here(), "binding address overflow");
      if (!tile_ids.contains(slice.tile) || slice.tile_address < tile_memory_base ||
          end > tile_memory_end) {
        return fail_at(here(), fmt::format("binding {} references invalid tile memory", excerpt(binding.name)));
      }
    }
  }
  return {};
}

// True when [offset, offset + size) lies within the page; a sum beyond 64 bits never does.
bool fits_page(std::uint64_t offset, std::uint64_t size, std::uint64_t page_size) {
  return size <= page_size && offset <= page_size - size;
}

Result<void> check_host_calls(const HostExchange& exchange, const PageMap& pages) {
  for (std::size_t i = 0; i < exchange.calls.size(); ++i) {
    const HostCall& call = exchange.calls[i];
    const auto field = [&](std::string_view name) {
      return fmt::format("host_exchange.calls[{}].{}", i, name);
    };
    if (call.invocations == 0) {
      return fail_at(field("invocations"), fmt::format("host call {} has no invocations", excerpt(call.name)));
    }
    if (auto ok = validate_host_batch_ends(call, "input", call.input_batch_ends, call.inputs.size());
        !ok) {
      return std::unexpected(std::move(ok).error().at(field("input_batch_ends")));
    }
    if (auto ok =
            validate_host_batch_ends(call, "output", call.output_batch_ends, call.outputs.size());
        !ok) {
      return std::unexpected(std::move(ok).error().at(field("output_batch_ends")));
    }
    for (const auto& [direction, slices] : {std::pair{"inputs", &call.inputs}, std::pair{"outputs", &call.outputs}}) {
      for (std::size_t k = 0; k < slices->size(); ++k) {
        const HostSlice& slice = (*slices)[k];
        const auto here = [&] { return fmt::format("{}[{}]", field(direction), k); };
        const std::uint64_t* page_size = pages.find(slice.page);
        if (page_size == nullptr) {
          return fail_at(here(), fmt::format("host call {} references missing page", excerpt(call.name)));
        }
        if (!fits_page(slice.page_offset, slice.size, *page_size)) {
          return fail_at(here(), fmt::format("host call {} exceeds page bounds", excerpt(call.name)));
        }
      }
    }
  }
  return {};
}

Result<void> check_host_exchange(const HostExchange& exchange) {
  constexpr std::string_view page_table = "invalid host page table";
  constexpr std::string_view startup = "invalid host startup protocol";
  const std::size_t repeat = first_repeat(exchange.pages, [](const auto& p) { return p.index; });
  if (repeat != none) return fail_at(indexed("host_exchange.pages", repeat), page_table);
  const PageMap pages(exchange.pages);
  if (const std::size_t missing = pages.first_missing(exchange.attach_order); missing != none) {
    return fail_at(indexed("host_exchange.attach_order", missing), page_table);
  }
  if (!exchange.calls.empty()) {
    const std::uint64_t* page_size = pages.find(exchange.command_page);
    if (page_size == nullptr) return fail_at("host_exchange.command_page", startup);
    if (!fits_page(exchange.command_offset, command_slot_size, *page_size)) {
      return fail_at("host_exchange.command_offset", startup);
    }
  }
  return check_host_calls(exchange, pages);
}

Result<void> validate_model(const Application& app) {
  if (app.tiles.empty()) return fail_at("tiles", "application has no tiles");
  if (auto ok = check_config_writes(app.device_config_writes); !ok) return ok;
  if (auto ok = check_tiles(app.tiles); !ok) return ok;
  const TileIds tile_ids(app.tiles);
  if (auto ok = check_profile_plans(app.profile_tiles, tile_ids); !ok) return ok;
  if (auto ok = check_debug_map(app, tile_ids); !ok) return ok;
  if (auto ok = check_bindings(app, tile_ids); !ok) return ok;
  return check_host_exchange(app.host_exchange);
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
          fmt::format("host call {} has invalid {} batch boundary {}", excerpt(call.name), direction, e));
    }
    previous = e;
  }
  if (previous != slice_count) {
    return fail(fmt::format("host call {} {} batches cover {} of {} slices", excerpt(call.name), direction,
                            previous, slice_count));
  }
  return {};
}

Result<void> Application::validate() const {
  // The working sets are proportional to the model; failing to allocate them is an error
  // value like any other, not the end of the caller's process.
  try {
    return validate_model(*this);
  } catch (const std::bad_alloc&) {
    return fail("not enough memory to validate the package");
  } catch (const std::length_error&) {
    return fail("not enough memory to validate the package");
  }
}

}  // namespace torv_package
