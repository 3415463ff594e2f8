#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace torv_package::testing {

// How the readers disagree on `bytes`, or nothing when they agree: Application::read from
// a stream, Application::read_file and PackageView::open of a file holding them, and
// PackageView::from_bytes over aligned and unaligned memory must give the same error
// (debug form and location) or equal models (through to_application() for the views),
// refusals for the memory budget included.
std::optional<std::string> view_disagreement(std::string_view bytes);

}  // namespace torv_package::testing
