// Feeds arbitrary bytes to Application::read. Any crash, sanitizer report or escaped
// exception is a finding, and so is a read that holds more heap than its bound (twice the
// budget's floor plus four times the input). A package that reads must also validate
// again, write, read back equal, and write the same bytes again.
// Built twice: with the library's memory constants scaled down, for many small inputs a
// second, and with the constants as shipped, for the expanding seeds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <kj/io.h>

#include "budget.hpp"
#include "heap_peak.hpp"
#include "torv_package/application.hpp"

namespace {

using torv_package::Application;

torv_package::Result<Application> read(kj::ArrayPtr<const kj::byte> bytes) {
  return Application::read(kj::heap<kj::ArrayInputStream>(bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<torv_package::Result<Application>> read_once;
  const std::uint64_t peak = torv_fuzz::HeapPeak::of([&] { read_once.emplace(read({data, size})); });
  const std::uint64_t bound = 2 * torv_package::MemoryBudget::floor_bytes + 4 * std::uint64_t{size};
  if (peak > bound) {
    std::fprintf(stderr, "read of %zu bytes held %llu bytes of heap, more than its bound of %llu\n", size,
                 static_cast<unsigned long long>(peak), static_cast<unsigned long long>(bound));
    std::abort();
  }
  const auto& result = *read_once;
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
