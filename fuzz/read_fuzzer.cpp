// Feeds arbitrary bytes to Application::read. Any crash, sanitizer report or escaped
// exception is a finding. A package that reads must also validate again and survive a
// write and read round trip unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <kj/io.h>

#include "package_writer.hpp"
#include "torv_package/application.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using torv_package::Application;
  auto result = Application::read(kj::heap<kj::ArrayInputStream>(
      kj::ArrayPtr<const kj::byte>(data, size)));
  if (!result) return 0;
  if (!result->validate()) std::abort();
  const auto again = torv_package::testing::read_bytes(torv_package::testing::serialize(*result));
  if (!again || !(*again == *result)) std::abort();
  return 0;
}
