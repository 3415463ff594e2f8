#pragma once

// The C API's errors: made from the library's PackageError or from the C API's own
// failures, and the boundary that turns anything thrown into one.

#include <exception>
#include <new>
#include <string_view>

#include <kj/exception.h>

#include "torv_package/error.hpp"
#include "torv_package/torv_package.h"

namespace torv_package::c_api {

// Each gives a new error, or the static out-of-memory one when making it fails; none throws.
tp_error* error_from(const PackageError& error) noexcept;
tp_error* argument_error(std::string_view what) noexcept;
tp_error* internal_error(std::string_view what) noexcept;
tp_error* no_memory_error() noexcept;

// Gives `made` to the caller through `out`, or frees it when the caller wants none; -1.
int fail(tp_error** out, tp_error* made) noexcept;

// Runs `body` (which returns 0 or fail(...)); whatever it throws becomes an error in `out`.
template <class Body>
int guarded(tp_error** out, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail(out, no_memory_error());
  } catch (const kj::Exception& exception) {
    return fail(out, error_from(PackageError(exception)));
  } catch (const std::exception& exception) {
    return fail(out, internal_error(exception.what()));
  } catch (...) {
    return fail(out, internal_error("unknown exception"));
  }
}

}  // namespace torv_package::c_api
