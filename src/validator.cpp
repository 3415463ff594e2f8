#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "path.hpp"
#include "utf8.hpp"
#include "torv_package/application.hpp"
#include "torv_package/view.hpp"
#include "convert.hpp"
#include "validate.hpp"

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
template <class Index, class Items, class KeyOf>
std::vector<Index> sorted_positions(const Items& items, KeyOf key_of) {
  std::vector<Index> order(items.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<Index>(i);
  std::sort(order.begin(), order.end(), [&](Index a, Index b) {
    const auto ka = key_of(items[a]);
    const auto kb = key_of(items[b]);
    return ka < kb || (ka == kb && a < b);
  });
  return order;
}

template <class Index, class Items, class KeyOf>
std::size_t first_repeat_as(const Items& items, KeyOf key_of) {
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
template <class Items, class KeyOf>
std::size_t first_repeat(const Items& items, KeyOf key_of) {
  if constexpr (!table_detail::IsVector<Items>::value) {
    // A view reads a record through the message on every access: the keys are taken
    // once (a few bytes per record), not on every comparison of the sort.
    using Key = std::decay_t<decltype(key_of(items[0]))>;
    std::vector<Key> keys;
    keys.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) keys.push_back(key_of(items[i]));
    return first_repeat(keys, [](const Key& key) { return key; });
  }
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
  template <class Tiles>
  explicit TileIds(const Tiles& tiles) {
    ids_.reserve(tiles.size());
    for (std::size_t i = 0; i < tiles.size(); ++i) ids_.push_back(member<&TileImage::physical_tile>(tiles[i]));
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
template <class Pages>
class PageMap {
 public:
  explicit PageMap(const Pages& pages) : pages_(pages) {
    std::uint64_t highest = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) highest = std::max<std::uint64_t>(highest, index_of(i));
    if (!pages.empty() && highest < 2 * std::uint64_t{pages.size()} + dense_slack) {
      by_index_.assign(highest + 1, none);
      for (std::size_t i = 0; i < pages.size(); ++i) by_index_[index_of(i)] = i;
      return;
    }
    // Sorted as (index, position) pairs: no record is read while sorting.
    std::vector<std::pair<std::uint32_t, std::size_t>> sorted(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) sorted[i] = {index_of(i), i};
    std::sort(sorted.begin(), sorted.end());
    // Slot 0 is unused: the children of slot i are 2i and 2i + 1.
    keys_.resize(sorted.size() + 1);
    positions_.resize(sorted.size() + 1);
    std::size_t next = 0;
    fill(sorted, next, 1);
  }

  // The position in `indexes` of the first that names no page, or `none`. Sixteen searches
  // go down the tree side by side, so that their cache misses overlap.
  template <class Indexes>
  std::size_t first_missing(const Indexes& indexes) const {
    constexpr std::size_t lanes = 16;
    for (std::size_t start = 0; start < indexes.size(); start += lanes) {
      const std::size_t count = std::min(lanes, indexes.size() - start);
      if (!by_index_.empty() || keys_.empty()) {
        for (std::size_t k = start; k < start + count; ++k) {
          if (!find(indexes[k])) return k;
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
  std::optional<std::uint64_t> find(std::uint32_t index) const {
    std::size_t position = none;
    if (!by_index_.empty()) {
      if (index < by_index_.size()) position = by_index_[index];
    } else if (!keys_.empty()) {
      std::size_t slot = 1;
      while (slot < keys_.size()) slot = descend(slot, index);
      if (const std::size_t at = found_slot(slot, index); at != 0) position = positions_[at];
    }
    if (position == none) return std::nullopt;
    return member<&HostPage::size>(pages_[position]);
  }

 private:
  std::uint32_t index_of(std::size_t i) const { return member<&HostPage::index>(pages_[i]); }

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

  const Pages& pages_;
  std::vector<std::size_t> by_index_;    // dense: position of each index, `none` for gaps
  std::vector<std::uint32_t> keys_;      // sparse: the indexes in breadth-first order
  std::vector<std::size_t> positions_;   // sparse: the position of each of keys_
};

// The rules below are written once over `member<&Record::name>(x)`, which reads a model
// record and a record view alike: the owned model and the view are held to the same rules.

template <class Writes>
Result<void> check_config_writes(const Writes& writes) {
  const auto offset = [](const auto& w) { return member<&DeviceConfigWrite::offset>(w); };
  const std::size_t repeat = first_repeat(writes, offset);
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if ((offset(writes[i]) & 3u) != 0 || i == repeat) {
      return fail_at(indexed("device_config_writes", i),
                     "unaligned or duplicate device configuration write");
    }
  }
  return {};
}

template <class Tile>
Result<void> check_segments(const Tile& tile, std::size_t tile_index) {
  const auto& segments = member<&TileImage::segments>(tile);
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const auto& segment = segments[k];
    const std::uint32_t address = member<&Segment::address>(segment);
    const std::uint32_t memory_size = member<&Segment::memory_size>(segment);
    const std::size_t data_size = member<&Segment::data>(segment).size();
    const auto here = [&] { return fmt::format("tiles[{}].segments[{}]", tile_index, k); };
    const std::uint64_t end = std::uint64_t{address} + memory_size;
    if (end > u32_limit) return fail_at(here(), "segment address overflow");
    if (address < tile_memory_base || end > tile_memory_end || data_size > memory_size) {
      return fail_at(here(), fmt::format(
          "invalid segment on tile {}: address=0x{:x} end=0x{:x} memory_size={} data_size={}",
          member<&TileImage::physical_tile>(tile), address, end, memory_size, data_size));
    }
  }
  return {};
}

// Called only once every segment of the tile has passed check_segments, so no end wraps.
template <class Tile>
Result<void> check_overlaps(const Tile& tile, std::size_t tile_index,
                            std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges) {
  ranges.clear();
  const auto& segments = member<&TileImage::segments>(tile);
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const auto& segment = segments[k];
    const std::uint32_t address = member<&Segment::address>(segment);
    const std::uint32_t memory_size = member<&Segment::memory_size>(segment);
    if (memory_size != 0) ranges.emplace_back(address, address + memory_size);
  }
  std::sort(ranges.begin(), ranges.end());
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    const auto& lower = ranges[i - 1];
    const auto& higher = ranges[i];
    if (lower.second > higher.first) {
      return fail_at(indexed("tiles", tile_index),
                     fmt::format("overlapping segments on tile {}: 0x{:x}..0x{:x} and 0x{:x}..0x{:x}",
                                 member<&TileImage::physical_tile>(tile), lower.first, lower.second,
                                 higher.first, higher.second));
    }
  }
  return {};
}

template <class Tiles, class Progress>
Result<void> check_tiles(const Tiles& tiles, Progress&& tile_checked) {
  const auto id = [](const auto& t) { return member<&TileImage::physical_tile>(t); };
  const std::size_t repeat = first_repeat(tiles, id);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    const auto& tile = tiles[i];
    if (i == repeat) return fail_at(indexed("tiles", i), fmt::format("duplicate physical tile {}", id(tile)));
    if (auto ok = check_segments(tile, i); !ok) return ok;
    if (auto ok = check_overlaps(tile, i, ranges); !ok) return ok;
    tile_checked(tile);
  }
  return {};
}

template <class Plans>
Result<void> check_profile_plans(const Plans& plans, const TileIds& tile_ids) {
  // A repeated tile that is not a tile of the package fails at its first plan already.
  const auto id = [](const auto& p) { return member<&TileProfilePlan::physical_tile>(p); };
  const std::size_t repeat = first_repeat(plans, id);
  constexpr std::string_view message = "invalid tile profile plan";
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const auto& plan = plans[i];
    if (!tile_ids.contains(id(plan)) || i == repeat) return fail_at(indexed("profile_tiles", i), message);
    const auto& steps = member<&TileProfilePlan::steps>(plan);
    for (std::size_t k = 0; k < steps.size(); ++k) {
      if (member<&ProfileStep::local_index>(steps[k]) != k) {
        return fail_at(fmt::format("profile_tiles[{}].steps[{}]", i, k), message);
      }
    }
  }
  return {};
}

template <class App>
Result<void> check_debug_map(const App& app, const TileIds& tile_ids) {
  constexpr std::string_view message = "invalid package debug map";
  const auto& symbols = member<&Application::debug_symbols>(app);
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    if (member<&DebugSymbol::name>(symbols[i]).empty()) return fail_at(indexed("debug_symbols", i), message);
  }
  const auto& regions = member<&Application::debug_regions>(app);
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const auto& region = regions[i];
    const std::uint32_t tile = member<&DebugRegion::physical_tile>(region);
    const std::uint32_t size = member<&DebugRegion::size>(region);
    const bool ok = !member<&DebugRegion::name>(region).empty() && size != 0 &&
                    std::uint64_t{member<&DebugRegion::address>(region)} + size <= u32_limit &&
                    (tile == all_tiles || tile_ids.contains(tile));
    if (!ok) return fail_at(indexed("debug_regions", i), message);
  }
  return {};
}

template <class App>
Result<void> check_bindings(const App& app, const TileIds& tile_ids) {
  const auto& inputs = member<&Application::inputs>(app);
  const auto& outputs = member<&Application::outputs>(app);
  const auto& weights = member<&Application::weights>(app);
  // The names of the three lists taken together, in order.
  std::vector<std::string_view> names;
  names.reserve(inputs.size() + outputs.size() + weights.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) names.push_back(member<&Binding::name>(inputs[i]));
  for (std::size_t i = 0; i < outputs.size(); ++i) names.push_back(member<&Binding::name>(outputs[i]));
  for (std::size_t i = 0; i < weights.size(); ++i) names.push_back(member<&Binding::name>(weights[i]));
  const std::size_t repeat = first_repeat(names, [](std::string_view name) { return name; });
  // Position i of the three lists taken together, as a location.
  const auto binding_at = [&](std::size_t i) {
    if (i < inputs.size()) return indexed("inputs", i);
    i -= inputs.size();
    if (i < outputs.size()) return indexed("outputs", i);
    return indexed("weights", i - outputs.size());
  };
  const auto check = [&](const auto& binding, std::size_t i) -> Result<void> {
    const std::string_view name = names[i];
    if (name.empty() || i == repeat) {
      return fail_at(binding_at(i), fmt::format("empty or duplicate binding {}", excerpt(name)));
    }
    const auto& slices = member<&Binding::slices>(binding);
    for (std::size_t k = 0; k < slices.size(); ++k) {
      const auto& slice = slices[k];
      const std::uint64_t size = member<&RegionSlice::size>(slice);
      const std::uint32_t tile_address = member<&RegionSlice::tile_address>(slice);
      const auto here = [&] { return fmt::format("{}.slices[{}]", binding_at(i), k); };
      if (size > u32_limit) return fail_at(here(), fmt::format("binding {} slice is too large", excerpt(name)));
      const std::uint64_t end = std::uint64_t{tile_address} + size;
      if (end > u32_limit) return fail_at(here(), "binding address overflow");
      if (!tile_ids.contains(member<&RegionSlice::tile>(slice)) || tile_address < tile_memory_base ||
          end > tile_memory_end) {
        return fail_at(here(), fmt::format("binding {} references invalid tile memory", excerpt(name)));
      }
    }
    return {};
  };
  std::size_t at = 0;
  for (const auto* list : {&inputs, &outputs, &weights}) {
    for (std::size_t k = 0; k < list->size(); ++k, ++at) {
      if (auto ok = check((*list)[k], at); !ok) return ok;
    }
  }
  return {};
}

// True when [offset, offset + size) lies within the page; a sum beyond 64 bits never does.
bool fits_page(std::uint64_t offset, std::uint64_t size, std::uint64_t page_size) {
  return size <= page_size && offset <= page_size - size;
}

template <class Ends>
Result<void> check_batch_ends(std::string_view call_name, std::string_view direction, const Ends& ends,
                              std::size_t slice_count) {
  std::size_t previous = 0;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    const std::size_t e = ends[i];
    if (e <= previous || e > slice_count) {
      return fail(
          fmt::format("host call {} has invalid {} batch boundary {}", excerpt(call_name), direction, e));
    }
    previous = e;
  }
  if (previous != slice_count) {
    return fail(fmt::format("host call {} {} batches cover {} of {} slices", excerpt(call_name), direction,
                            previous, slice_count));
  }
  return {};
}

template <class Exchange, class Pages>
Result<void> check_host_calls(const Exchange& exchange, const Pages& pages) {
  const auto& calls = member<&HostExchange::calls>(exchange);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& call = calls[i];
    const auto name = member<&HostCall::name>(call);
    const auto& inputs = member<&HostCall::inputs>(call);
    const auto& outputs = member<&HostCall::outputs>(call);
    const auto field = [&](std::string_view member_name) {
      return fmt::format("host_exchange.calls[{}].{}", i, member_name);
    };
    if (member<&HostCall::invocations>(call) == 0) {
      return fail_at(field("invocations"), fmt::format("host call {} has no invocations", excerpt(name)));
    }
    if (auto ok = check_batch_ends(name, "input", member<&HostCall::input_batch_ends>(call), inputs.size()); !ok) {
      return std::unexpected(std::move(ok).error().at(field("input_batch_ends")));
    }
    if (auto ok = check_batch_ends(name, "output", member<&HostCall::output_batch_ends>(call), outputs.size());
        !ok) {
      return std::unexpected(std::move(ok).error().at(field("output_batch_ends")));
    }
    for (const auto& [direction, slices] : {std::pair{"inputs", &inputs}, std::pair{"outputs", &outputs}}) {
      for (std::size_t k = 0; k < slices->size(); ++k) {
        const auto& slice = (*slices)[k];
        const auto here = [&] { return fmt::format("{}[{}]", field(direction), k); };
        const std::optional<std::uint64_t> page_size = pages.find(member<&HostSlice::page>(slice));
        if (!page_size) {
          return fail_at(here(), fmt::format("host call {} references missing page", excerpt(name)));
        }
        if (!fits_page(member<&HostSlice::page_offset>(slice), member<&HostSlice::size>(slice), *page_size)) {
          return fail_at(here(), fmt::format("host call {} exceeds page bounds", excerpt(name)));
        }
      }
    }
  }
  return {};
}

template <class Exchange>
Result<void> check_host_exchange(const Exchange& exchange) {
  constexpr std::string_view page_table = "invalid host page table";
  constexpr std::string_view startup = "invalid host startup protocol";
  const auto& page_list = member<&HostExchange::pages>(exchange);
  const std::size_t repeat = first_repeat(page_list, [](const auto& p) { return member<&HostPage::index>(p); });
  if (repeat != none) return fail_at(indexed("host_exchange.pages", repeat), page_table);
  const PageMap pages(page_list);
  if (const std::size_t missing = pages.first_missing(member<&HostExchange::attach_order>(exchange));
      missing != none) {
    return fail_at(indexed("host_exchange.attach_order", missing), page_table);
  }
  if (!member<&HostExchange::calls>(exchange).empty()) {
    const std::optional<std::uint64_t> page_size = pages.find(member<&HostExchange::command_page>(exchange));
    if (!page_size) return fail_at("host_exchange.command_page", startup);
    if (!fits_page(member<&HostExchange::command_offset>(exchange), command_slot_size, *page_size)) {
      return fail_at("host_exchange.command_offset", startup);
    }
  }
  return check_host_calls(exchange, pages);
}

// `tile_checked(tile)` is called after each tile has passed its rules.
template <class App, class Progress>
Result<void> validate_package(const App& app, Progress&& tile_checked) {
  const auto& tiles = member<&Application::tiles>(app);
  if (tiles.empty()) return fail_at("tiles", "application has no tiles");
  if (auto ok = check_config_writes(member<&Application::device_config_writes>(app)); !ok) return ok;
  if (auto ok = check_tiles(tiles, tile_checked); !ok) return ok;
  const TileIds tile_ids(tiles);
  if (auto ok = check_profile_plans(member<&Application::profile_tiles>(app), tile_ids); !ok) return ok;
  if (auto ok = check_debug_map(app, tile_ids); !ok) return ok;
  if (auto ok = check_bindings(app, tile_ids); !ok) return ok;
  return check_host_exchange(member<&Application::host_exchange>(app));
}

// Validation of either form; its working sets are proportional to the package, and
// failing to allocate them is an error value like any other, not the end of the caller's
// process.
template <class App, class Progress>
Result<void> validate_caught(const App& app, Progress&& tile_checked) {
  try {
    return validate_package(app, tile_checked);
  } catch (const std::bad_alloc&) {
    return fail("not enough memory to validate the package");
  } catch (const std::length_error&) {
    return fail("not enough memory to validate the package");
  }
}

}  // namespace

Result<void> validate_host_batch_ends(const HostCall& call, std::string_view direction,
                                      std::span<const std::uint32_t> ends,
                                      std::size_t slice_count) {
  return check_batch_ends(call.name, direction, ends, slice_count);
}

Result<void> Application::validate() const {
  return validate_caught(*this, [](const TileImage&) {});
}

Result<void> validate_view(const View<Application>& view, PageRelease* release) {
  if (release == nullptr) return validate_caught(view, [](const View<TileImage>&) {});
  // The segment data of a tile follows its records in a package as the library writes
  // it: once a tile is checked, what lies before its data has been passed.
  return validate_caught(view, [&](const View<TileImage>& tile) {
    const auto segments = tile.segments();
    if (!segments.empty()) release->passed(segments.back().data().data());
  });
}

}  // namespace torv_package
