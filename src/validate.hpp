#pragma once

#include "torv_package/error.hpp"
#include "torv_package/view.hpp"

namespace torv_package {

// Application::validate's rules, over a view.
Result<void> validate_view(const View<Application>& view);

}  // namespace torv_package
