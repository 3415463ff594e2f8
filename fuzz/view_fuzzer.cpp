// PackageView::from_bytes against Application::read on arbitrary bytes: both must give
// the same error (debug form and location) or, through to_application(), the same model,
// over the caller's memory and over a copy one byte off (which the view must copy to
// align). The one allowed difference: a package the reader refuses for its memory budget,
// which a view, expanding nothing, goes on to check; its answer is not compared then.
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

bool budget_refusal(const Result<Application>& result) {
  return !result && result.error().debug_string().find("the most a message of") != std::string::npos;
}

Result<Application> as_read(Result<PackageView> view) {
  if (!view) return std::unexpected(std::move(view).error());
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
  const Result<Application> read =
      Application::read(kj::heap<kj::ArrayInputStream>(kj::ArrayPtr<const kj::byte>(data, size)));
  if (budget_refusal(read)) return 0;
  // libFuzzer's buffer, word-aligned as any allocation is, then a copy one byte off.
  const auto bytes = std::as_bytes(std::span(data, size));
  compare("PackageView::from_bytes", read, as_read(PackageView::from_bytes(bytes)));
  const auto shifted = std::make_unique<std::byte[]>(size + 1);
  if (size != 0) std::memcpy(shifted.get() + 1, data, size);
  compare("PackageView::from_bytes (unaligned)", read,
          as_read(PackageView::from_bytes(std::span<const std::byte>(shifted.get() + 1, size))));
  return 0;
}
