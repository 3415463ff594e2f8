#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "path.hpp"
#include "utf8.hpp"
#include "torv_package/application.hpp"
#include "torv_package/view.hpp"
#include "convert.hpp"
#include "data_elsewhere.hpp"
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

// The positions whose key occurred earlier in stored order; a list without repeats costs
// no more than its sort.
class Repeats {
 public:
  template <class Items, class KeyOf>
  Repeats(const Items& items, KeyOf key_of) {
    if constexpr (!table_detail::IsVector<Items>::value) {
      // A view reads a record through the message on every access: the keys are taken
      // once (a few bytes per record), not on every comparison of the sort.
      using Key = std::decay_t<decltype(key_of(items[0]))>;
      std::vector<Key> keys;
      keys.reserve(items.size());
      for (std::size_t i = 0; i < items.size(); ++i) keys.push_back(key_of(items[i]));
      *this = Repeats(keys, [](const Key& key) { return key; });
      return;
    }
    // Lists read from a file have fewer than 2^29 elements; only a model built in memory
    // can need wider positions.
    if (items.size() <= std::numeric_limits<std::uint32_t>::max()) {
      mark<std::uint32_t>(items, key_of);
    } else {
      mark<std::size_t>(items, key_of);
    }
  }
  bool any() const { return !marked_.empty(); }
  // True when position i repeats an earlier key.
  bool operator()(std::size_t i) const { return !marked_.empty() && marked_[i]; }

 private:
  template <class Index, class Items, class KeyOf>
  void mark(const Items& items, KeyOf key_of) {
    const std::vector<Index> order = sorted_positions<Index>(items, key_of);
    for (std::size_t i = 1; i < order.size(); ++i) {
      if (key_of(items[order[i]]) == key_of(items[order[i - 1]])) {
        if (marked_.empty()) marked_.assign(items.size(), false);
        marked_[order[i]] = true;
      }
    }
  }
  std::vector<bool> marked_;  // empty when nothing repeats
};

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
// cache line that is fetched ahead, instead of one cache miss per probe. Positions take
// `Position`, 4 bytes where the list allows, so that the map costs at most 16 bytes a
// page: no more than a page's record, however few bytes the file gave it.
template <class Pages, class Position = std::uint32_t>
class PageMap {
 public:
  explicit PageMap(const Pages& pages) : pages_(pages) {
    std::uint64_t highest = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) highest = std::max<std::uint64_t>(highest, index_of(i));
    if (!pages.empty() && highest < 2 * std::uint64_t{pages.size()} + dense_slack) {
      by_index_.assign(highest + 1, absent);
      for (std::size_t i = 0; i < pages.size(); ++i) by_index_[index_of(i)] = static_cast<Position>(i);
      return;
    }
    // Sorted as (index, position) pairs: no record is read while sorting.
    std::vector<std::pair<std::uint32_t, Position>> sorted(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) sorted[i] = {index_of(i), static_cast<Position>(i)};
    std::sort(sorted.begin(), sorted.end());
    // Slot 0 is unused: the children of slot i are 2i and 2i + 1.
    keys_.resize(sorted.size() + 1);
    positions_.resize(sorted.size() + 1);
    std::size_t next = 0;
    fill(sorted, next, 1);
  }

  // The position in `indexes`, from `from` on, of the first that names no page, or `none`.
  // Sixteen searches go down the tree side by side, so that their cache misses overlap.
  template <class Indexes>
  std::size_t next_missing(const Indexes& indexes, std::size_t from) const {
    constexpr std::size_t lanes = 16;
    for (std::size_t start = from; start < indexes.size(); start += lanes) {
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
    Position position = absent;
    if (!by_index_.empty()) {
      if (index < by_index_.size()) position = by_index_[index];
    } else if (!keys_.empty()) {
      std::size_t slot = 1;
      while (slot < keys_.size()) slot = descend(slot, index);
      if (const std::size_t at = found_slot(slot, index); at != 0) position = positions_[at];
    }
    if (position == absent) return std::nullopt;
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
  void fill(const std::vector<std::pair<std::uint32_t, Position>>& sorted, std::size_t& next,
            std::size_t slot) {
    if (slot >= keys_.size()) return;
    fill(sorted, next, 2 * slot);
    keys_[slot] = sorted[next].first;
    positions_[slot] = sorted[next].second;
    ++next;
    fill(sorted, next, 2 * slot + 1);
  }

  const Pages& pages_;
  static constexpr Position absent = static_cast<Position>(-1);
  std::vector<Position> by_index_;       // dense: position of each index, `absent` for gaps
  std::vector<std::uint32_t> keys_;      // sparse: the indexes in breadth-first order
  std::vector<Position> positions_;      // sparse: the position of each of keys_
};

// Where the rules report. Each rule returns false once the sink wants no more faults, and
// its caller then stops too.
class Faults {
 public:
  explicit Faults(FaultSink& sink, const DataElsewhere* data = nullptr) : data(data), sink_(sink) {}
  // A failure of the rule that examined `location`; the location is formed only here, once
  // a rule has failed.
  bool at(std::string location, std::string_view message) {
    return sink_.fault(PackageError::invalid(std::string(message)).at(std::move(location)));
  }
  bool add(PackageError error) { return sink_.fault(std::move(error)); }

  // The size of a segment's data: a view's, or a model's own or given elsewhere.
  std::size_t data_size(std::span<const std::uint8_t> view_data) const { return view_data.size(); }
  std::size_t data_size(const std::vector<std::uint8_t>& model_data) const {
    return data == nullptr ? model_data.size() : data->of(model_data).size();
  }

  const DataElsewhere* data;

 private:
  FaultSink& sink_;
};

// The rules below are written once over `member<&Record::name>(x)`, which reads a model
// record and a record view alike: the owned model and the view are held to the same rules.

template <class Writes>
bool check_config_writes(const Writes& writes, Faults& faults) {
  const auto offset = [](const auto& w) { return member<&DeviceConfigWrite::offset>(w); };
  const Repeats repeats(writes, offset);
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if ((offset(writes[i]) & 3u) != 0 || repeats(i)) {
      if (!faults.at(indexed("device_config_writes", i), "unaligned or duplicate device configuration write")) {
        return false;
      }
    }
  }
  return true;
}

// Clears `bounded` when a segment of the tile lies outside the tile's memory.
template <class Tile>
bool check_segments(const Tile& tile, std::size_t tile_index, Faults& faults, bool& bounded) {
  const auto& segments = member<&TileImage::segments>(tile);
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const auto& segment = segments[k];
    const std::uint32_t address = member<&Segment::address>(segment);
    const std::uint32_t memory_size = member<&Segment::memory_size>(segment);
    const std::size_t data_size = faults.data_size(member<&Segment::data>(segment));
    const auto here = [&] { return fmt::format("tiles[{}].segments[{}]", tile_index, k); };
    const std::uint64_t end = std::uint64_t{address} + memory_size;
    if (end > u32_limit) {
      bounded = false;
      if (!faults.at(here(), "segment address overflow")) return false;
    } else if (address < tile_memory_base || end > tile_memory_end || data_size > memory_size) {
      bounded = false;
      if (!faults.at(here(), fmt::format(
              "invalid segment on tile {}: address=0x{:x} end=0x{:x} memory_size={} data_size={}",
              member<&TileImage::physical_tile>(tile), address, end, memory_size, data_size))) {
        return false;
      }
    }
  }
  return true;
}

// Called only once every segment of the tile has passed check_segments, so no end wraps.
// Each segment that begins below the highest end so far overlaps the segment that has it.
template <class Tile>
bool check_overlaps(const Tile& tile, std::size_t tile_index,
                    std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges, Faults& faults) {
  ranges.clear();
  const auto& segments = member<&TileImage::segments>(tile);
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const auto& segment = segments[k];
    const std::uint32_t address = member<&Segment::address>(segment);
    const std::uint32_t memory_size = member<&Segment::memory_size>(segment);
    if (memory_size != 0) ranges.emplace_back(address, address + memory_size);
  }
  if (ranges.empty()) return true;
  std::sort(ranges.begin(), ranges.end());
  std::pair<std::uint32_t, std::uint32_t> highest = ranges[0];
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    const auto& range = ranges[i];
    if (highest.second > range.first) {
      if (!faults.at(indexed("tiles", tile_index),
                     fmt::format("overlapping segments on tile {}: 0x{:x}..0x{:x} and 0x{:x}..0x{:x}",
                                 member<&TileImage::physical_tile>(tile), highest.first, highest.second,
                                 range.first, range.second))) {
        return false;
      }
    }
    if (range.second > highest.second) highest = range;
  }
  return true;
}

template <class Tiles, class Progress>
bool check_tiles(const Tiles& tiles, Faults& faults, Progress&& tile_checked) {
  const auto id = [](const auto& t) { return member<&TileImage::physical_tile>(t); };
  const Repeats repeats(tiles, id);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    const auto& tile = tiles[i];
    if (repeats(i)) {
      // A second image of one tile: which of them lands there cannot be judged, so its
      // segments are not examined.
      if (!faults.at(indexed("tiles", i), fmt::format("duplicate physical tile {}", id(tile)))) return false;
    } else {
      bool bounded = true;
      if (!check_segments(tile, i, faults, bounded)) return false;
      if (bounded && !check_overlaps(tile, i, ranges, faults)) return false;
    }
    tile_checked(tile);
  }
  return true;
}

template <class Plans>
bool check_profile_plans(const Plans& plans, const TileIds& tile_ids, Faults& faults) {
  const auto id = [](const auto& p) { return member<&TileProfilePlan::physical_tile>(p); };
  const Repeats repeats(plans, id);
  constexpr std::string_view message = "invalid tile profile plan";
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const auto& plan = plans[i];
    if (!tile_ids.contains(id(plan)) || repeats(i)) {
      if (!faults.at(indexed("profile_tiles", i), message)) return false;
    }
    // Only the first misnumbered step: the steps after a missing one are all off by it.
    const auto& steps = member<&TileProfilePlan::steps>(plan);
    for (std::size_t k = 0; k < steps.size(); ++k) {
      if (member<&ProfileStep::local_index>(steps[k]) != k) {
        if (!faults.at(fmt::format("profile_tiles[{}].steps[{}]", i, k), message)) return false;
        break;
      }
    }
  }
  return true;
}

template <class App>
bool check_debug_map(const App& app, const TileIds& tile_ids, Faults& faults) {
  constexpr std::string_view message = "invalid package debug map";
  const auto& symbols = member<&Application::debug_symbols>(app);
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    if (member<&DebugSymbol::name>(symbols[i]).empty()) {
      if (!faults.at(indexed("debug_symbols", i), message)) return false;
    }
  }
  const auto& regions = member<&Application::debug_regions>(app);
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const auto& region = regions[i];
    const std::uint32_t tile = member<&DebugRegion::physical_tile>(region);
    const std::uint32_t size = member<&DebugRegion::size>(region);
    const bool ok = !member<&DebugRegion::name>(region).empty() && size != 0 &&
                    std::uint64_t{member<&DebugRegion::address>(region)} + size <= u32_limit &&
                    (tile == all_tiles || tile_ids.contains(tile));
    if (!ok && !faults.at(indexed("debug_regions", i), message)) return false;
  }
  return true;
}

template <class App>
bool check_bindings(const App& app, const TileIds& tile_ids, Faults& faults) {
  const auto& inputs = member<&Application::inputs>(app);
  const auto& outputs = member<&Application::outputs>(app);
  const auto& weights = member<&Application::weights>(app);
  // The names of the three lists taken together, in order.
  std::vector<std::string_view> names;
  names.reserve(inputs.size() + outputs.size() + weights.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) names.push_back(member<&Binding::name>(inputs[i]));
  for (std::size_t i = 0; i < outputs.size(); ++i) names.push_back(member<&Binding::name>(outputs[i]));
  for (std::size_t i = 0; i < weights.size(); ++i) names.push_back(member<&Binding::name>(weights[i]));
  const Repeats repeats(names, [](std::string_view name) { return name; });
  // Position i of the three lists taken together, as a location.
  const auto binding_at = [&](std::size_t i) {
    if (i < inputs.size()) return indexed("inputs", i);
    i -= inputs.size();
    if (i < outputs.size()) return indexed("outputs", i);
    return indexed("weights", i - outputs.size());
  };
  const auto check = [&](const auto& binding, std::size_t i) -> bool {
    const std::string_view name = names[i];
    if (name.empty() || repeats(i)) {
      if (!faults.at(binding_at(i), fmt::format("empty or duplicate binding {}", excerpt(name)))) return false;
    }
    const auto& slices = member<&Binding::slices>(binding);
    for (std::size_t k = 0; k < slices.size(); ++k) {
      const auto& slice = slices[k];
      const std::uint64_t size = member<&RegionSlice::size>(slice);
      const std::uint32_t tile_address = member<&RegionSlice::tile_address>(slice);
      const auto here = [&] { return fmt::format("{}.slices[{}]", binding_at(i), k); };
      bool ok = true;
      if (size > u32_limit) {
        ok = faults.at(here(), fmt::format("binding {} slice is too large", excerpt(name)));
      } else if (const std::uint64_t end = std::uint64_t{tile_address} + size; end > u32_limit) {
        ok = faults.at(here(), "binding address overflow");
      } else if (!tile_ids.contains(member<&RegionSlice::tile>(slice)) || tile_address < tile_memory_base ||
                 end > tile_memory_end) {
        ok = faults.at(here(), fmt::format("binding {} references invalid tile memory", excerpt(name)));
      }
      if (!ok) return false;
    }
    return true;
  };
  std::size_t at = 0;
  for (const auto* list : {&inputs, &outputs, &weights}) {
    for (std::size_t k = 0; k < list->size(); ++k, ++at) {
      if (!check((*list)[k], at)) return false;
    }
  }
  return true;
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

// `pages` is null when the page list repeats an index: which page a slice names cannot be
// judged then, and slices are not looked up.
template <class Exchange, class Pages>
bool check_host_calls(const Exchange& exchange, const Pages* pages, Faults& faults) {
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
      if (!faults.at(field("invocations"), fmt::format("host call {} has no invocations", excerpt(name)))) {
        return false;
      }
    }
    if (auto ok = check_batch_ends(name, "input", member<&HostCall::input_batch_ends>(call), inputs.size()); !ok) {
      if (!faults.add(std::move(ok).error().at(field("input_batch_ends")))) return false;
    }
    if (auto ok = check_batch_ends(name, "output", member<&HostCall::output_batch_ends>(call), outputs.size());
        !ok) {
      if (!faults.add(std::move(ok).error().at(field("output_batch_ends")))) return false;
    }
    if (pages == nullptr) continue;
    for (const auto& [direction, slices] : {std::pair{"inputs", &inputs}, std::pair{"outputs", &outputs}}) {
      for (std::size_t k = 0; k < slices->size(); ++k) {
        const auto& slice = (*slices)[k];
        const auto here = [&] { return fmt::format("{}[{}]", field(direction), k); };
        const std::optional<std::uint64_t> page_size = pages->find(member<&HostSlice::page>(slice));
        bool ok = true;
        if (!page_size) {
          ok = faults.at(here(), fmt::format("host call {} references missing page", excerpt(name)));
        } else if (!fits_page(member<&HostSlice::page_offset>(slice), member<&HostSlice::size>(slice),
                              *page_size)) {
          ok = faults.at(here(), fmt::format("host call {} exceeds page bounds", excerpt(name)));
        }
        if (!ok) return false;
      }
    }
  }
  return true;
}

template <class Exchange, class Pages>
bool check_pages(const Exchange& exchange, const Pages& pages, Faults& faults);

template <class Exchange>
bool check_host_exchange(const Exchange& exchange, Faults& faults) {
  constexpr std::string_view page_table = "invalid host page table";
  const auto& page_list = member<&HostExchange::pages>(exchange);
  using PageList = std::remove_cvref_t<decltype(page_list)>;
  const Repeats repeats(page_list, [](const auto& p) { return member<&HostPage::index>(p); });
  for (std::size_t i = 0; repeats.any() && i < page_list.size(); ++i) {
    if (repeats(i) && !faults.at(indexed("host_exchange.pages", i), page_table)) return false;
  }
  // Every lookup by page index rests on unique indexes.
  if (repeats.any()) return check_host_calls(exchange, static_cast<const PageMap<PageList>*>(nullptr), faults);
  // Lists read from a file have fewer than 2^29 elements; only a model built in memory can
  // need wider positions.
  if (page_list.size() < std::numeric_limits<std::uint32_t>::max()) {
    return check_pages(exchange, PageMap<PageList, std::uint32_t>(page_list), faults);
  }
  return check_pages(exchange, PageMap<PageList, std::size_t>(page_list), faults);
}

// The rules that look pages up by index, once the indexes are known to be unique.
template <class Exchange, class Pages>
bool check_pages(const Exchange& exchange, const Pages& pages, Faults& faults) {
  constexpr std::string_view page_table = "invalid host page table";
  constexpr std::string_view startup = "invalid host startup protocol";
  const auto& attach_order = member<&HostExchange::attach_order>(exchange);
  for (std::size_t missing = pages.next_missing(attach_order, 0); missing != none;
       missing = pages.next_missing(attach_order, missing + 1)) {
    if (!faults.at(indexed("host_exchange.attach_order", missing), page_table)) return false;
  }
  if (!member<&HostExchange::calls>(exchange).empty()) {
    const std::optional<std::uint64_t> page_size = pages.find(member<&HostExchange::command_page>(exchange));
    if (!page_size) {
      if (!faults.at("host_exchange.command_page", startup)) return false;
    } else if (!fits_page(member<&HostExchange::command_offset>(exchange), command_slot_size, *page_size)) {
      if (!faults.at("host_exchange.command_offset", startup)) return false;
    }
  }
  return check_host_calls(exchange, &pages, faults);
}

// `tile_checked(tile)` is called after the rules of each tile have run.
template <class App, class Progress>
void validate_package(const App& app, Faults& faults, Progress&& tile_checked) {
  const auto& tiles = member<&Application::tiles>(app);
  if (tiles.empty() && !faults.at("tiles", "application has no tiles")) return;
  if (!check_config_writes(member<&Application::device_config_writes>(app), faults)) return;
  if (!check_tiles(tiles, faults, tile_checked)) return;
  const TileIds tile_ids(tiles);
  if (!check_profile_plans(member<&Application::profile_tiles>(app), tile_ids, faults)) return;
  if (!check_debug_map(app, tile_ids, faults)) return;
  if (!check_bindings(app, tile_ids, faults)) return;
  check_host_exchange(member<&Application::host_exchange>(app), faults);
}

// Validation of either form; its working sets are proportional to the package, and
// failing to allocate them is a fault like any other, not the end of the caller's
// process.
template <class App, class Progress>
void validate_caught(const App& app, FaultSink& sink, Progress&& tile_checked,
                     const DataElsewhere* data = nullptr) {
  constexpr std::string_view no_memory = "not enough memory to validate the package";
  try {
    Faults faults(sink, data);
    validate_package(app, faults, tile_checked);
  } catch (const std::bad_alloc&) {
    sink.fault(PackageError::invalid(std::string(no_memory)));
  } catch (const std::length_error&) {
    sink.fault(PackageError::invalid(std::string(no_memory)));
  }
}

// Keeps the first fault and ends validation there.
class FirstFault final : public FaultSink {
 public:
  bool fault(PackageError error) override {
    first.emplace(std::move(error));
    return false;
  }
  Result<void> result() && {
    if (first) return std::unexpected(std::move(*first));
    return {};
  }
  std::optional<PackageError> first;
};

}  // namespace

Result<void> validate_host_batch_ends(const HostCall& call, std::string_view direction,
                                      std::span<const std::uint32_t> ends,
                                      std::size_t slice_count) {
  return check_batch_ends(call.name, direction, ends, slice_count);
}

Result<void> Application::validate() const {
  FirstFault first;
  validate(first);
  return std::move(first).result();
}

void Application::validate(FaultSink& faults) const {
  validate_caught(*this, faults, [](const TileImage&) {});
}

Result<void> validate_model(const Application& app, const DataElsewhere& data) {
  FirstFault first;
  validate_caught(app, first, [](const TileImage&) {}, &data);
  return std::move(first).result();
}

void validate_view(const View<Application>& view, PageRelease* release, FaultSink& faults) {
  if (release == nullptr) return validate_caught(view, faults, [](const View<TileImage>&) {});
  // The segment data of a tile follows its records in a package as the library writes
  // it: once a tile is checked, what lies before its data has been passed.
  validate_caught(view, faults, [&](const View<TileImage>& tile) {
    const auto segments = tile.segments();
    if (!segments.empty()) release->passed(segments.back().data().data());
  });
}

Result<void> validate_view(const View<Application>& view, PageRelease* release) {
  FirstFault first;
  validate_view(view, release, first);
  return std::move(first).result();
}

}  // namespace torv_package
