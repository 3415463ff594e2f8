#include <mutex>
#include <new>
#include <utility>

#include "lookup.hpp"
#include "torv_package/view.hpp"
#include "view_state.hpp"

namespace torv_package {

struct ViewAccess {
  static PackageView::State& state(const PackageView& view) { return *view.state_; }
};

namespace {

// The index, sorted by the first caller; every other waits for it. A failed allocation
// leaves it incomplete, and the lookups scan instead of failing.
const PackageView::State::Index& index_of(const View<Application>& root, PackageView::State& state) {
  std::call_once(state.indexing, [&] {
    try {
      state.index.tiles = lookup::tile_keys(root.tiles());
      state.index.bindings = lookup::binding_keys(root);
      state.index.complete = true;
    } catch (const std::bad_alloc&) {
      state.index = {};
    } catch (const std::length_error&) {
      state.index = {};
    }
  });
  return state.index;
}

}  // namespace

std::optional<TileImageView> PackageView::tile(std::uint32_t physical) const {
  const auto tiles = this->tiles();
  const State::Index& index = index_of(*this, *state_);
  if (!index.complete) {
    const auto at = lookup::scan_tile(tiles, physical);
    return at ? std::optional(tiles[*at]) : std::nullopt;
  }
  const lookup::TileKey* key = lookup::find(index.tiles, physical);
  return key ? std::optional(tiles[key->position]) : std::nullopt;
}

namespace {

std::optional<lookup::BindingKey> binding_key(const PackageView& view, const PackageView::State::Index& index,
                                              std::string_view name) {
  if (!index.complete) return lookup::scan_binding(view, name);
  const lookup::BindingKey* key = lookup::find(index.bindings, name);
  return key ? std::optional(*key) : std::nullopt;
}

}  // namespace

std::optional<BindingView> PackageView::binding(std::string_view name) const {
  const auto key = binding_key(*this, index_of(*this, *state_), name);
  return key ? std::optional(lookup::binding_at(*this, *key)) : std::nullopt;
}

Result<std::vector<std::uint8_t>> PackageView::tile_memory(std::uint32_t physical) const {
  const auto image = tile(physical);
  if (!image) return std::unexpected(lookup::no_tile(physical));
  return lookup::allocating([&]() -> Result<std::vector<std::uint8_t>> {
    std::vector<std::uint8_t> window(tile_memory_size);
    lookup::fill_window(*image, window);
    return window;
  });
}

Result<void> lookup::binding_bytes_into(const PackageView& view, std::string_view name, const Allocate& allocate) {
  const auto key = binding_key(view, index_of(view, ViewAccess::state(view)), name);
  if (!key) return std::unexpected(no_binding(name));
  const BindingView binding = binding_at(view, *key);
  const auto size = binding_size(binding, location(*key), MemoryBudget(view.message_bytes().size()).limit());
  if (!size) return std::unexpected(size.error());
  return allocating([&]() -> Result<void> {
    gather(binding, [&](std::uint32_t physical) { return view.tile(physical); }, {}, allocate(*size));
    return {};
  });
}

Result<std::vector<std::uint8_t>> PackageView::binding_bytes(std::string_view name) const {
  return lookup::into_vector(
      [&](const lookup::Allocate& allocate) { return lookup::binding_bytes_into(*this, name, allocate); });
}

}  // namespace torv_package
