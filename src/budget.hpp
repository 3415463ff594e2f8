#pragma once

#include <cstddef>
#include <cstdint>

// The fixed part of the budget below. A build may set it lower (the fuzz build does, so
// that an input expanding to the bound costs milliseconds, not tens of them); the bound
// then stays proportional and is checked all the same.
#ifndef TORV_BUDGET_FLOOR_BYTES
#define TORV_BUDGET_FLOOR_BYTES (std::uint64_t{32} << 20)
#endif

namespace torv_package {

// The memory a read may spend on the model it builds, charged before each allocation.
// A message can describe far more than it holds (lists of zero-sized elements, many
// pointers to the same bytes), so what the model will cost is counted as it is built:
// element count times record size for every list, and every text and data byte copied,
// each with a fixed allowance for the allocator's own overhead. A view is charged the
// same without building anything, so that it refuses what a read refuses, and what walks
// it (a tool, a binding) walks no more records than a read could build.
//
// The model may cost at most 2.5 x the message's bytes + 32 MiB. A read holds the message
// and the model while converting (3.5 x + 32 MiB), then the model and the validator's
// working sets, which are at most half the model (3.75 x + 48 MiB): below 64 MiB + 4 x the
// input's size either way.
class MemoryBudget {
 public:
  static constexpr std::uint64_t floor_bytes = TORV_BUDGET_FLOOR_BYTES;
  // The limit is floor_bytes + message bytes x 5 / 2.
  static constexpr std::uint64_t halves_per_message_byte = 5;
  // Header and rounding of one heap allocation, generously.
  static constexpr std::uint64_t allocation_overhead = 32;
  // Strings up to this length live inside the string object (libstdc++).
  static constexpr std::size_t inline_string_bytes = 15;

  explicit MemoryBudget(std::uint64_t message_bytes) noexcept;

  std::uint64_t limit() const noexcept { return limit_; }
  std::uint64_t used() const noexcept { return used_; }

  // Each throws kj::Exception once the model would exceed the budget; nothing is charged
  // then.
  template <class T>
  void list(std::size_t count) {
    if (count != 0) charge(std::uint64_t{count} * sizeof(T) + allocation_overhead);
  }
  void text(std::size_t bytes) {
    if (bytes > inline_string_bytes) charge(std::uint64_t{bytes} + 1 + allocation_overhead);
  }
  void data(std::size_t bytes) {
    if (bytes != 0) charge(std::uint64_t{bytes} + allocation_overhead);
  }

 private:
  void charge(std::uint64_t bytes);

  std::uint64_t message_bytes_;
  std::uint64_t limit_;
  std::uint64_t used_ = 0;
};

}  // namespace torv_package
