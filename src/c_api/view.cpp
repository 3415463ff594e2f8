// Opening and closing views.
#include "c_api/view.hpp"

#include <cstddef>
#include <span>
#include <utility>

#include "c_api/error.hpp"
#include "c_api/handle.hpp"

struct tp_view {
  torv_package::PackageView view;
};

using namespace torv_package::c_api;

const torv_package::PackageView& torv_package::c_api::package_of(const tp_view* view) noexcept { return view->view; }

namespace {

int give(torv_package::Result<torv_package::PackageView> opened, tp_view** view, tp_error** error) {
  if (!opened) return fail(error, error_from(opened.error()));
  *view = new tp_view{std::move(*opened)};
  return 0;
}

}  // namespace

extern "C" {

const char* tp_version(void) { return TORV_VERSION; }

int tp_view_open(const char* path, tp_view** view, tp_error** error) {
  return guarded(error, [&] {
    if (view != nullptr) *view = nullptr;
    if (path == nullptr) return fail(error, argument_error("path is null"));
    if (view == nullptr) return fail(error, argument_error("view is null"));
    return give(torv_package::PackageView::open(path), view, error);
  });
}

int tp_view_from_bytes(const void* data, size_t size, tp_view** view, tp_error** error) {
  return guarded(error, [&] {
    if (view != nullptr) *view = nullptr;
    if (data == nullptr && size != 0) return fail(error, argument_error("data is null"));
    if (view == nullptr) return fail(error, argument_error("view is null"));
    const std::span<const std::byte> bytes(static_cast<const std::byte*>(data), size);
    return give(torv_package::PackageView::from_bytes(bytes), view, error);
  });
}

void tp_view_close(tp_view* view) { delete view; }

tp_application tp_view_application(const tp_view* view) {
  if (view == nullptr) return tp_application{};
  return wrap<tp_application>(view->view.reader());
}

}  // extern "C"
