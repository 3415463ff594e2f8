#include "lookup.hpp"

#include <kj/exception.h>

namespace torv_package {

namespace lookup {

PackageError no_tile(std::uint32_t physical) {
  return PackageError::invalid(fmt::format("package has no tile {}", physical));
}

PackageError no_binding(std::string_view name) {
  return PackageError::invalid(fmt::format("package has no binding {}", name));
}

PackageError too_large(std::string_view name, std::string location, std::uint64_t limit) {
  return PackageError::invalid(
             fmt::format("binding {} holds more than {} bytes, the most its package may expand to", name, limit))
      .at(std::move(location));
}

PackageError out_of_memory() {
  return PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                    kj::heapString("not enough memory for the bytes asked for")));
}

}  // namespace lookup

const TileImage* Application::tile(std::uint32_t physical) const {
  const auto at = lookup::scan_tile(tiles, physical);
  return at ? &tiles[*at] : nullptr;
}

TileImage* Application::tile(std::uint32_t physical) {
  return const_cast<TileImage*>(std::as_const(*this).tile(physical));
}

const Binding* Application::binding(std::string_view name) const {
  const auto key = lookup::scan_binding(*this, name);
  return key ? &lookup::binding_at(*this, *key) : nullptr;
}

Binding* Application::binding(std::string_view name) {
  return const_cast<Binding*>(std::as_const(*this).binding(name));
}

Result<std::vector<std::uint8_t>> Application::tile_memory(std::uint32_t physical) const {
  const TileImage* image = tile(physical);
  if (image == nullptr) return std::unexpected(lookup::no_tile(physical));
  return lookup::allocating([&] { return lookup::window_of(*image); });
}

Result<std::vector<std::uint8_t>> Application::binding_bytes(std::string_view name) const {
  const auto key = lookup::scan_binding(*this, name);
  if (!key) return std::unexpected(lookup::no_binding(name));
  std::uint64_t data_bytes = 0;
  for (const TileImage& image : tiles) {
    for (const Segment& segment : image.segments) data_bytes += segment.data.size();
  }
  return lookup::allocating([&]() -> Result<std::vector<std::uint8_t>> {
    const std::vector<lookup::TileKey> keys = lookup::tile_keys(tiles);
    return lookup::gather(lookup::binding_at(*this, *key), lookup::location(*key), MemoryBudget(data_bytes).limit(),
                          [&](std::uint32_t physical) -> const TileImage* {
                            const lookup::TileKey* found = lookup::find(keys, physical);
                            return found ? &tiles[found->position] : nullptr;
                          });
  });
}

}  // namespace torv_package
