#pragma once

#include "torv_package/error.hpp"
#include "torv_package/view.hpp"

namespace torv_package {

class PageRelease;

// Application::validate's rules, over a view; `release`, when given, is told where the
// rules have got to in the file.
Result<void> validate_view(const View<Application>& view, PageRelease* release);

}  // namespace torv_package
