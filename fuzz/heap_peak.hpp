#pragma once

// The most heap memory live at once while a piece of code runs, from the address
// sanitizer's allocation hooks: libFuzzer's malloc and RSS limits catch one huge
// allocation or a process gone far astray, not a read that holds a few times more than
// its bound, which at the fuzz build's scaled constants is a few hundred KiB.
#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace torv_fuzz {

class HeapPeak {
 public:
  // Bytes live above what was live when it started, at most, while `run` ran.
  template <class Run>
  static std::uint64_t of(Run&& run) {
    install();
    const std::int64_t base = live_.load(std::memory_order_relaxed);
    peak_.store(base, std::memory_order_relaxed);
    measuring_.store(true, std::memory_order_relaxed);
    run();
    measuring_.store(false, std::memory_order_relaxed);
    return static_cast<std::uint64_t>(peak_.load(std::memory_order_relaxed) - base);
  }

 private:
  static void install() {
    static const bool installed = [] {
      __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
      return true;
    }();
    (void)installed;
  }
  static void on_malloc(const volatile void*, std::size_t size) {
    const std::int64_t now = live_.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed) +
                             static_cast<std::int64_t>(size);
    if (measuring_.load(std::memory_order_relaxed) && now > peak_.load(std::memory_order_relaxed)) {
      peak_.store(now, std::memory_order_relaxed);
    }
  }
  // Called while the block is still allocated, so its size can be asked for.
  static void on_free(const volatile void* p) {
    if (p == nullptr || !__sanitizer_get_ownership(const_cast<const void*>(p))) return;
    live_.fetch_sub(static_cast<std::int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(p))),
                    std::memory_order_relaxed);
  }

  static inline std::atomic<std::int64_t> live_{0};
  static inline std::atomic<std::int64_t> peak_{0};
  static inline std::atomic<bool> measuring_{false};
};

}  // namespace torv_fuzz
