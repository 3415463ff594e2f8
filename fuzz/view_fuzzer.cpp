// PackageView::from_bytes against Application::read on arbitrary bytes: both must give
// the same error (debug form and location) or, through to_application(), the same model,
// over the caller's memory and over a copy one byte off (which the view must copy to
// align), and for a package, the same message size and count of bytes after it. Every
// input is compared, refusals for the memory budget included.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include <kj/io.h>

#include "torv_package/application.hpp"
#include "torv_package/view.hpp"

namespace {

using torv_package::Application;
using torv_package::PackageView;
using torv_package::Result;

std::string describe(const Result<Application>& result) {
  if (result) return "a package";
  return result.error().debug_string() + " at '" + std::string(result.error().location()) + "'";
}

// The read's details, which a view that opens must have too.
torv_package::ReadDetails details;

Result<Application> as_read(Result<PackageView> view) {
  if (!view) return std::unexpected(std::move(view).error());
  const torv_package::ReadDetails& seen = view->details();
  if (seen.message_bytes != details.message_bytes || seen.trailing_bytes != details.trailing_bytes ||
      seen.trailing_bytes_exact != details.trailing_bytes_exact) {
    std::fprintf(stderr, "Application::read gives %llu message bytes and %llu after (%s), a view %llu and %llu (%s)\n",
                 static_cast<unsigned long long>(details.message_bytes),
                 static_cast<unsigned long long>(details.trailing_bytes), details.trailing_bytes_exact ? "exact" : "at least",
                 static_cast<unsigned long long>(seen.message_bytes), static_cast<unsigned long long>(seen.trailing_bytes),
                 seen.trailing_bytes_exact ? "exact" : "at least");
    std::abort();
  }
  return view->to_application();
}

void compare(const char* name, const Result<Application>& read, const Result<Application>& other) {
  if (other == read) return;
  std::fprintf(stderr, "Application::read gives %s, %s gives %s\n", describe(read).c_str(), name,
               describe(other).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  details = {};
  const Result<Application> read =
      Application::read(kj::heap<kj::ArrayInputStream>(kj::ArrayPtr<const kj::byte>(data, size)), details);
  // libFuzzer's buffer, word-aligned as any allocation is, then a copy one byte off.
  const auto bytes = std::as_bytes(std::span(data, size));
  compare("PackageView::from_bytes", read, as_read(PackageView::from_bytes(bytes)));
  const auto shifted = std::make_unique<std::byte[]>(size + 1);
  if (size != 0) std::memcpy(shifted.get() + 1, data, size);
  compare("PackageView::from_bytes (unaligned)", read,
          as_read(PackageView::from_bytes(std::span<const std::byte>(shifted.get() + 1, size))));
  return 0;
}
