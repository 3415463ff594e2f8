#pragma once

// tp_view behind the C boundary: a PackageView, whose definition view.cpp alone sees, so
// that nothing of it shows in the exported types of the other entry points.

#include "torv_package/torv_package.h"
#include "torv_package/view.hpp"

namespace torv_package::c_api {

// The view a non-null tp_view holds.
const PackageView& package_of(const tp_view* view) noexcept;

}  // namespace torv_package::c_api
