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

namespace lookup {

Result<std::vector<std::uint8_t>> tile_memory_of(const Application& app, std::uint32_t physical,
                                                 const DataElsewhere& data) {
  const TileImage* image = app.tile(physical);
  if (image == nullptr) return std::unexpected(no_tile(physical));
  return allocating([&]() -> Result<std::vector<std::uint8_t>> {
    std::vector<std::uint8_t> window(tile_memory_size);
    fill_window(*image, window, DataSource{&data});
    return window;
  });
}

Result<void> binding_bytes_into(const Application& app, std::string_view name, const DataElsewhere& data,
                                const Allocate& allocate) {
  const auto key = scan_binding(app, name);
  if (!key) return std::unexpected(no_binding(name));
  const DataSource data_of{&data};
  // A model has no message: what its segment data holds stands for one.
  std::uint64_t data_bytes = 0;
  for (const TileImage& image : app.tiles) {
    for (const Segment& segment : image.segments) data_bytes += data_of(segment).size();
  }
  const Binding& binding = binding_at(app, *key);
  const auto size = binding_size(binding, location(*key), MemoryBudget(data_bytes).limit());
  if (!size) return std::unexpected(size.error());
  return allocating([&]() -> Result<void> {
    const std::span<std::uint8_t> out = allocate(*size);
    const std::vector<TileKey> keys = tile_keys(app.tiles);
    gather(
        binding,
        [&](std::uint32_t physical) -> const TileImage* {
          const TileKey* found = find(keys, physical);
          return found ? &app.tiles[found->position] : nullptr;
        },
        data_of, out);
    return {};
  });
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
  return lookup::tile_memory_of(*this, physical, DataElsewhere{});
}

Result<std::vector<std::uint8_t>> Application::binding_bytes(std::string_view name) const {
  const DataElsewhere none;
  return lookup::into_vector(
      [&](const lookup::Allocate& allocate) { return lookup::binding_bytes_into(*this, name, none, allocate); });
}

}  // namespace torv_package
