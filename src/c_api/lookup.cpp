// Lookups of the C API: the view's, through the index it sorts on its first lookup; the
// tile memory window written straight into the caller's buffer.
#include <cstddef>
#include <span>
#include <string_view>

#include "c_api/error.hpp"
#include "c_api/handle.hpp"
#include "c_api/view.hpp"
#include "lookup.hpp"

static_assert(TP_TILE_MEMORY_BASE == torv_package::tile_memory_base &&
              TP_TILE_MEMORY_SIZE == torv_package::tile_memory_size);

using namespace torv_package::c_api;

namespace {

// 1 and *out set to `found`'s record, or 0 and *out the empty record.
template <class H, class Found>
int give(const Found& found, H* out) {
  if (out != nullptr) *out = found ? wrap<H>(found->reader()) : H{};
  return found ? 1 : 0;
}

// A lookup that throws, which the view's do not (a failed index falls back to scanning),
// finds nothing.
template <class H, class Find>
int looked_up(const tp_view* view, H* out, Find find) noexcept {
  try {
    if (view != nullptr) return give(find(package_of(view)), out);
  } catch (...) {
  }
  if (out != nullptr) *out = H{};
  return 0;
}

}  // namespace

extern "C" {

int tp_view_tile(const tp_view* view, uint32_t physical, tp_tile_image* tile) {
  return looked_up(view, tile, [&](const torv_package::PackageView& v) { return v.tile(physical); });
}

int tp_view_binding(const tp_view* view, const char* name, size_t size, tp_binding* binding) {
  if (name == nullptr && size != 0) view = nullptr;  // names nothing
  return looked_up(view, binding, [&](const torv_package::PackageView& v) {
    return v.binding(std::string_view(name == nullptr ? "" : name, size));
  });
}

int tp_view_tile_memory(const tp_view* view, uint32_t physical, uint8_t* buffer, size_t size, tp_error** error) {
  return guarded(error, [&] {
    if (view == nullptr) return fail(error, argument_error("view is null"));
    if (buffer == nullptr) return fail(error, argument_error("buffer is null"));
    if (size < TP_TILE_MEMORY_SIZE) return fail(error, argument_error("buffer is smaller than TP_TILE_MEMORY_SIZE"));
    const auto image = package_of(view).tile(physical);
    if (!image) return fail(error, error_from(torv_package::lookup::no_tile(physical)));
    torv_package::lookup::fill_window(*image, std::span(buffer, TP_TILE_MEMORY_SIZE));
    return 0;
  });
}

}  // extern "C"
