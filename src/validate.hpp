#pragma once

#include "torv_package/error.hpp"
#include "torv_package/view.hpp"

namespace torv_package {

class DataElsewhere;
class PageRelease;

// Application::validate's rules, over a model whose data members listed in `data` have the
// bytes given there.
Result<void> validate_model(const Application& app, const DataElsewhere& data);

// Application::validate's rules, over a view; `release`, when given, is told where the
// rules have got to in the file.
Result<void> validate_view(const View<Application>& view, PageRelease* release);
// The same, going on after a fault: every fault goes to `faults`.
void validate_view(const View<Application>& view, PageRelease* release, FaultSink& faults);

}  // namespace torv_package
