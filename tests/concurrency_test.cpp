// Reads on several threads at once, valid and refused packages, from memory and from a
// file, validation of one shared model, while the event sink is swapped underneath. Run
// under ThreadSanitizer by make test-tsan; any data race fails it there.
#include <unistd.h>

#include <algorithm>
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
#include "torv_package/view.hpp"

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

// One view read by several threads at once, each walking every record and comparing it
// with the model and looking tiles and bindings up, while another thread opens and drops views of the same file.
TEST(ConcurrentReads, ThreadsShareOneView) {
  const Application expected = testing::valid_application();
  const auto file = std::filesystem::temp_directory_path() / ("torv_shared_view_" + std::to_string(getpid()));
  std::ofstream(file, std::ios::binary) << testing::serialize(expected);
  auto view = PackageView::open(file);
  ASSERT_TRUE(view) << view.error().debug_string();
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 6; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        const auto model = view->to_application();
        bool ok = model && *model == expected && view->tiles().size() == expected.tiles.size();
        // The first lookups race to sort the index.
        ok = ok && view->tile(7) && view->tile(7)->segments().size() == 1 && !view->tile(6) &&
             view->binding("logits") && view->binding("logits")->dtype() == "f32";
        for (std::size_t k = 0; ok && k < expected.tiles.size(); ++k) {
          const auto segments = view->tiles()[k].segments();
          for (std::size_t j = 0; ok && j < segments.size(); ++j) {
            ok = std::ranges::equal(segments[j].data(), expected.tiles[k].segments[j].data);
          }
        }
        if (!ok) failures.fetch_add(1);
      }
    });
  }
  readers.emplace_back([&] {
    for (int i = 0; i < 100; ++i) {
      if (!PackageView::open(file)) failures.fetch_add(1);
    }
  });
  for (auto& reader : readers) reader.join();
  std::filesystem::remove(file);
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace torv_package
