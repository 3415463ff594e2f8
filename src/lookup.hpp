#pragma once

// Finding tiles and bindings, and the bytes a loader would place, for the model and the
// view alike: the templates read records through member<>, so one definition serves
// both.
//
// Lookups sort keys rather than hash them: the keys come from the file, and a sort costs
// n log n whatever they are.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "budget.hpp"
#include "data_elsewhere.hpp"
#include "path.hpp"
#include "torv_package/view.hpp"

namespace torv_package::lookup {

// A tile's physical number and its position in `tiles`.
struct TileKey {
  std::uint32_t physical;
  std::size_t position;
};

// The binding lists, in the order a lookup by name searches them.
inline constexpr std::string_view binding_lists[] = {"inputs", "outputs", "weights"};

// A binding's name and place: position in inputs, outputs or weights (by list).
struct BindingKey {
  std::string_view name;
  std::size_t list;
  std::size_t position;
};

// Keys sorted by number, ties (a tile repeated, which only a package the rules refuse
// holds) in stored order, so that the first stored is found.
template <class Tiles>
std::vector<TileKey> tile_keys(const Tiles& tiles) {
  std::vector<TileKey> keys;
  keys.reserve(tiles.size());
  for (std::size_t i = 0; i < tiles.size(); ++i) keys.push_back({member<&TileImage::physical_tile>(tiles[i]), i});
  std::ranges::stable_sort(keys, {}, &TileKey::physical);
  return keys;
}

inline const TileKey* find(std::span<const TileKey> keys, std::uint32_t physical) {
  const auto at = std::ranges::lower_bound(keys, physical, {}, &TileKey::physical);
  return at != keys.end() && at->physical == physical ? &*at : nullptr;
}

// Calls f(list, which) for inputs (0), outputs (1) and weights (2), in that order.
template <class App, class F>
void for_each_binding_list(const App& app, F&& f) {
  f(member<&Application::inputs>(app), std::size_t{0});
  f(member<&Application::outputs>(app), std::size_t{1});
  f(member<&Application::weights>(app), std::size_t{2});
}

// Keys of inputs, outputs and weights, sorted by name, ties in the order searched.
template <class App>
std::vector<BindingKey> binding_keys(const App& app) {
  std::size_t count = 0;
  for_each_binding_list(app, [&](const auto& list, std::size_t) { count += list.size(); });
  std::vector<BindingKey> keys;
  keys.reserve(count);
  for_each_binding_list(app, [&](const auto& list, std::size_t which) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      keys.push_back({std::string_view(member<&Binding::name>(list[i])), which, i});
    }
  });
  std::ranges::stable_sort(keys, {}, &BindingKey::name);
  return keys;
}

inline const BindingKey* find(std::span<const BindingKey> keys, std::string_view name) {
  const auto at = std::ranges::lower_bound(keys, name, {}, &BindingKey::name);
  return at != keys.end() && at->name == name ? &*at : nullptr;
}

// The binding a key names (a reference into a model, a view of a view), and its
// location ("weights[1]").
template <class App>
decltype(auto) binding_at(const App& app, const BindingKey& key) {
  const auto& list = key.list == 0   ? member<&Application::inputs>(app)
                     : key.list == 1 ? member<&Application::outputs>(app)
                                     : member<&Application::weights>(app);
  return list[key.position];
}
inline std::string location(const BindingKey& key) { return indexed(binding_lists[key.list], key.position); }

// The first binding named `name` in inputs, outputs, then weights, by scanning them.
template <class App>
std::optional<BindingKey> scan_binding(const App& app, std::string_view name) {
  std::optional<BindingKey> found;
  for_each_binding_list(app, [&](const auto& list, std::size_t which) {
    for (std::size_t i = 0; i < list.size() && !found; ++i) {
      if (std::string_view(member<&Binding::name>(list[i])) == name) found = BindingKey{name, which, i};
    }
  });
  return found;
}

// The first tile numbered `physical`, by scanning.
template <class Tiles>
std::optional<std::size_t> scan_tile(const Tiles& tiles, std::uint32_t physical) {
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    if (member<&TileImage::physical_tile>(tiles[i]) == physical) return i;
  }
  return std::nullopt;
}

// Where a lookup reads segment data: a view's span, a model's member, or the bytes a
// DataElsewhere gives for that member (the Python module's model).
struct DataSource {
  const DataElsewhere* elsewhere = nullptr;
  std::span<const std::uint8_t> operator()(const Segment& segment) const {
    return elsewhere != nullptr ? elsewhere->of(segment.data) : std::span<const std::uint8_t>(segment.data);
  }
  std::span<const std::uint8_t> operator()(const SegmentView& segment) const { return segment.data(); }
};

// Stored bytes of a tile: [begin, end) of tile memory holds data[0 .. end - begin).
struct Piece {
  std::uint32_t begin;
  std::uint32_t end;
  const std::uint8_t* data;
};

// Each segment's data where it belongs, in stored order, cut to tile memory (a segment
// reaches past it only in a package the rules refuse).
template <class Tile>
std::vector<Piece> stored_pieces(const Tile& tile, DataSource data_of = {}) {
  std::vector<Piece> pieces;
  for (const auto& segment : member<&TileImage::segments>(tile)) {
    const std::span<const std::uint8_t> data = data_of(segment);
    const std::uint64_t address = member<&Segment::address>(segment);
    const std::uint64_t begin = std::max<std::uint64_t>(address, tile_memory_base);
    const std::uint64_t end = std::min<std::uint64_t>(address + data.size(), tile_memory_end);
    if (begin >= end) continue;
    pieces.push_back({static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end), data.data() + (begin - address)});
  }
  return pieces;
}

// A tile's window as tile_memory gives it: zero, then each segment's data in stored order,
// so that where segments overlap (a package the rules refuse) the later one wins, as when
// they are loaded in order.
template <class Tile>
void fill_window(const Tile& tile, std::span<std::uint8_t> window, DataSource data_of = {}) {
  std::ranges::fill(window, std::uint8_t{0});
  for (const Piece& piece : stored_pieces(tile, data_of)) {
    std::memcpy(window.data() + (piece.begin - tile_memory_base), piece.data, piece.end - piece.begin);
  }
}

// The bytes fill_window leaves as disjoint pieces sorted by address: what the later of
// two overlapping segments covers is taken from it.
template <class Tile>
std::vector<Piece> visible_pieces(const Tile& tile, DataSource data_of = {}) {
  const std::vector<Piece> stored = stored_pieces(tile, data_of);
  std::vector<Piece> sorted = stored;
  std::ranges::stable_sort(sorted, {}, &Piece::begin);
  const bool disjoint = std::ranges::adjacent_find(sorted, [](const Piece& a, const Piece& b) { return a.end > b.begin; }) ==
                        sorted.end();
  if (disjoint) return sorted;
  // From the last stored back: each piece keeps what no later one has covered.
  std::map<std::uint32_t, std::uint32_t> covered;  // begin -> end, disjoint
  std::vector<Piece> visible;
  for (auto piece = stored.rbegin(); piece != stored.rend(); ++piece) {
    std::uint32_t at = piece->begin;
    std::uint32_t merged_begin = piece->begin;
    std::uint32_t merged_end = piece->end;
    auto span = covered.upper_bound(at);
    if (span != covered.begin() && std::prev(span)->second > at) --span;
    while (span != covered.end() && span->first < piece->end) {
      if (span->first > at) visible.push_back({at, span->first, piece->data + (at - piece->begin)});
      at = std::max(at, span->second);
      merged_begin = std::min(merged_begin, span->first);
      merged_end = std::max(merged_end, span->second);
      span = covered.erase(span);
    }
    if (at < piece->end) visible.push_back({at, piece->end, piece->data + (at - piece->begin)});
    covered.emplace(merged_begin, merged_end);
  }
  std::ranges::sort(visible, {}, &Piece::begin);
  return visible;
}

// Copies tile memory [address, address + out.size()) from `pieces` (disjoint, sorted) into
// `out`, which is zero; what lies outside tile memory or outside every piece stays zero.
inline void copy_range(std::span<const Piece> pieces, std::uint32_t address, std::span<std::uint8_t> out) {
  const std::uint64_t begin = std::max<std::uint64_t>(address, tile_memory_base);
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{address} + out.size(), tile_memory_end);
  auto piece = std::ranges::partition_point(pieces, [&](const Piece& p) { return p.end <= begin; });
  for (; piece != pieces.end() && piece->begin < end; ++piece) {
    const std::uint64_t from = std::max<std::uint64_t>(begin, piece->begin);
    const std::uint64_t to = std::min<std::uint64_t>(end, piece->end);
    std::memcpy(out.data() + (from - address), piece->data + (from - piece->begin), to - from);
  }
}

PackageError no_tile(std::uint32_t physical);
PackageError no_binding(std::string_view name);
// Refuses a binding whose slices add up to more than `limit` bytes.
PackageError too_large(std::string_view name, std::string location, std::uint64_t limit);
// The error for an allocation of the result that failed.
PackageError out_of_memory();

// The bytes a binding's slices add up to; refused, at `location`, past `limit`.
template <class BindingT>
Result<std::uint64_t> binding_size(const BindingT& binding, std::string location, std::uint64_t limit) {
  std::uint64_t total = 0;
  for (const auto& slice : member<&Binding::slices>(binding)) {
    const std::uint64_t size = member<&RegionSlice::size>(slice);
    if (size > limit - total) return std::unexpected(too_large(member<&Binding::name>(binding), std::move(location), limit));
    total += size;
  }
  return total;
}

// A binding's bytes into `out` (zero, binding_size long): its slices in stored order, each
// read from its tile's memory as fill_window leaves it (zero on a tile the package lacks).
// `find_tile(physical)` gives something that tests false for no tile and dereferences to
// a tile. Each tile's pieces are found once, with the slices grouped by tile, so that the
// time grows with the records and the bytes copied, not with slices times segments.
template <class BindingT, class FindTile>
void gather(const BindingT& binding, FindTile&& find_tile, DataSource data_of, std::span<std::uint8_t> out) {
  const auto& slices = member<&Binding::slices>(binding);
  struct Placed {
    std::uint32_t tile;
    std::size_t slice;
    std::uint64_t offset;  // in `out`
  };
  std::vector<Placed> placed;
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < slices.size(); ++i) {
    const std::uint64_t size = member<&RegionSlice::size>(slices[i]);
    if (size != 0) placed.push_back({member<&RegionSlice::tile>(slices[i]), i, offset});
    offset += size;
  }
  std::ranges::sort(placed, [](const Placed& a, const Placed& b) { return a.tile < b.tile; });
  for (auto group = placed.begin(); group != placed.end();) {
    const auto group_end = std::find_if(group, placed.end(), [&](const Placed& p) { return p.tile != group->tile; });
    if (const auto tile = find_tile(group->tile)) {
      const std::vector<Piece> pieces = visible_pieces(*tile, data_of);
      for (auto p = group; p != group_end; ++p) {
        const auto& slice = slices[p->slice];
        copy_range(pieces, member<&RegionSlice::tile_address>(slice),
                   out.subspan(p->offset, member<&RegionSlice::size>(slice)));
      }
    }
    group = group_end;
  }
}

// Memory of the caller's for a lookup's bytes: given the size once it is known to fit the
// budget, it gives that many zero bytes. It may throw; std::bad_alloc becomes an error.
using Allocate = std::function<std::span<std::uint8_t>(std::size_t)>;

// The lookups' bytes into memory an Allocate gives: binding_bytes of a view, and of a
// model whose data members listed in `data` have the bytes given there.
Result<void> binding_bytes_into(const PackageView& view, std::string_view name, const Allocate& allocate);
Result<void> binding_bytes_into(const Application& app, std::string_view name, const DataElsewhere& data,
                                const Allocate& allocate);
// The bytes `into(allocate)` places, in a vector.
template <class Into>
Result<std::vector<std::uint8_t>> into_vector(Into&& into) {
  std::vector<std::uint8_t> bytes;
  const Allocate allocate = [&](std::size_t size) {
    bytes.resize(size);
    return std::span<std::uint8_t>(bytes);
  };
  if (auto done = into(allocate); !done) return std::unexpected(std::move(done).error());
  return bytes;
}

// tile_memory of such a model.
Result<std::vector<std::uint8_t>> tile_memory_of(const Application& app, std::uint32_t physical,
                                                 const DataElsewhere& data);

// Runs `make`, turning a failed allocation into an error value.
template <class Make>
auto allocating(Make&& make) -> decltype(make()) {
  try {
    return make();
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  } catch (const std::length_error&) {
    return std::unexpected(out_of_memory());
  }
}

}  // namespace torv_package::lookup
