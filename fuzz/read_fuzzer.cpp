// Feeds arbitrary bytes to Application::read. Any crash, sanitizer report or escaped
// exception is a finding. A package that reads must also validate again, write, read back
// equal, and write the same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <kj/io.h>

#include "torv_package/application.hpp"

namespace {

using torv_package::Application;

torv_package::Result<Application> read(kj::ArrayPtr<const kj::byte> bytes) {
  return Application::read(kj::heap<kj::ArrayInputStream>(bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto result = read(kj::ArrayPtr<const kj::byte>(data, size));
  if (!result) return 0;
  if (!result->validate()) std::abort();
  kj::VectorOutputStream first;
  if (!result->write(first)) std::abort();
  const auto again = read(first.getArray());
  if (!again || !(*again == *result)) std::abort();
  kj::VectorOutputStream second;
  if (!again->write(second) || second.getArray() != first.getArray()) std::abort();
  return 0;
}
