// Reads on several threads at once, valid and refused packages, from memory and from a
// file, validation of one shared model, while the event sink is swapped underneath. Run
// under ThreadSanitizer by make test-tsan; any data race fails it there.
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "package_writer.hpp"
#include "sample_package.hpp"
#include "torv_package/application.hpp"
#include "torv_package/events.hpp"

namespace torv_package {
namespace {

class CountingSink : public events::Sink {
 public:
  bool enabled(events::Level, std::string_view) const noexcept override { return true; }
  void record(const events::Event& event) override {
    const bool known = event.message == "reading application package" || event.message == "application package read";
    (known ? recorded : unknown).fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<int> recorded{0};
  std::atomic<int> unknown{0};
};

TEST(ConcurrentReads, ThreadsReadWhileTheSinkIsSwapped) {
  const Application expected = testing::valid_application();
  const std::string valid = testing::serialize(expected);
  Application bad = expected;
  bad.tiles[1].segments[0].address = 0;
  const std::string invalid = testing::serialize(bad);
  const std::string truncated = valid.substr(0, valid.size() / 2);
  const auto file = std::filesystem::temp_directory_path() / ("torv_concurrent_" + std::to_string(getpid()));
  std::ofstream(file, std::ios::binary) << valid;

  std::array<CountingSink, 2> sinks;
  events::set_sink(&sinks[0]);
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        const auto a = testing::read_bytes(valid);
        const auto b = testing::read_bytes(invalid);
        const auto c = testing::read_bytes(truncated);
        const auto d = Application::read_file(file);
        const bool ok = a && *a == expected && !b && b.error().location() == "tiles[1].segments[0]" && !c &&
                        c.error().kind() == ErrorKind::Capnp && d && *d == expected && expected.validate();
        if (!ok) failures.fetch_add(1);
      }
    });
  }
  std::thread swapper([&] {
    for (int i = 0; !done.load(); ++i) {
      events::set_sink(i % 3 == 2 ? nullptr : &sinks[i % 2]);
      std::this_thread::yield();
    }
  });
  for (auto& reader : readers) reader.join();
  done = true;
  swapper.join();
  events::set_sink(nullptr);
  std::filesystem::remove(file);

  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(sinks[0].recorded.load() + sinks[1].recorded.load(), 0);
  EXPECT_EQ(sinks[0].unknown.load() + sinks[1].unknown.load(), 0);
}

}  // namespace
}  // namespace torv_package
