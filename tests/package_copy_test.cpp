// PackageCopy: a package read with its data left in the file, changed and written again,
// gives the bytes Application::write gives for the same changed model, whichever parts of
// the output are copied from the file and whichever are written.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <kj/io.h>

#include "device_package.hpp"
#include "package_copy.hpp"
#include "torv_package/application.hpp"

namespace torv_package {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The package at `source` changed by `change` and written to `output` through PackageCopy.
// `early` is the part size of the early copy, 0 for none.
std::string copied(const fs::path& source, const std::function<void(Application&)>& change, const fs::path& output,
                   std::uint64_t early) {
  const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  EXPECT_GE(fd, 0) << output;
  auto copy = PackageCopy::read_file(source, early != 0 ? fd : -1, early);
  EXPECT_TRUE(copy) << copy.error().debug_string();
  if (!copy) return {};
  change((*copy)->model);
  auto message = (*copy)->build();
  EXPECT_TRUE(message) << message.error().debug_string();
  if (!message) return {};
  const auto written = (*copy)->write(*message, fd);
  EXPECT_TRUE(written) << written.error().debug_string();
  ::close(fd);
  return slurp(output);
}

TEST(PackageCopy, WritesWhatApplicationWriteWritesForTheSameModel) {
  const fs::path dir = fs::path(::testing::TempDir()) / "package_copy_test";
  fs::create_directories(dir);
  const fs::path input = dir / "in.torv";
  // Tiles of 600 KiB: long stretches of the output are the input's, and are copied.
  ASSERT_TRUE(testing::device_application(4, testing::full_tile_data).write_file(input));
  const auto strip = [](Application& a) {
    a.debug_symbols = {};
    a.debug_regions = {};
    a.profile_tiles = {};
  };
  const fs::path out = dir / "out.torv";
  const struct {
    const char* name;
    std::function<void(Application&)> change;
    fs::path output;
    bool stream = false;  // the input through a pipe: every byte written from memory
  } cases[] = {
      {"unchanged", [](Application&) {}, out},
      {"stripped", strip, out},
      {"a number in a tile", [](Application& a) { a.tiles[2].entry_point = 0x4c100; }, out},
      {"a longer text moves all after it", [](Application& a) { a.compiler_version += " and a longer text"; }, out},
      {"moved and stripped",
       [&](Application& a) {
         a.compiler_version += " and a longer text";
         strip(a);
       },
       out},
      {"the last record", [](Application& a) { a.debug_regions.back().name = "z"; }, out},
      // Between file systems the kernel does not copy: everything is written.
      {"to another file system", strip, "/dev/shm/torv_package_copy_test.torv"},
      {"from a stream", strip, out, true},
  };
  const std::string bytes = slurp(input);
  for (const auto& c : cases) {
    auto expected_model = Application::read_file(input);
    ASSERT_TRUE(expected_model);
    c.change(*expected_model);
    kj::VectorOutputStream expected;
    ASSERT_TRUE(expected_model->write(expected));
    const std::string_view want(reinterpret_cast<const char*>(expected.getArray().begin()), expected.getArray().size());
    // Written without the package copied to the output early, and with it copied in one
    // part or in parts of 4 KiB, which the writing follows, waiting for each.
    for (const std::uint64_t early : {std::uint64_t{0}, PackageCopy::default_copy_part, std::uint64_t{4096}}) {
      SCOPED_TRACE(fmt::format("{}, early copy in parts of {} bytes", c.name, early));
      int pipe_ends[2] = {-1, -1};
      std::optional<std::thread> feeder;
      fs::path source = input;
      if (c.stream) {
        ASSERT_EQ(::pipe(pipe_ends), 0);
        feeder.emplace([&] {
          (void)!::write(pipe_ends[1], bytes.data(), bytes.size());
          ::close(pipe_ends[1]);
        });
        source = fs::path("/proc/self/fd") / std::to_string(pipe_ends[0]);
      }
      const std::string actual = copied(source, c.change, c.output, early);
      if (feeder) {
        feeder->join();
        ::close(pipe_ends[0]);
      }
      ASSERT_EQ(actual.size(), want.size());
      EXPECT_TRUE(actual == want) << "first difference at byte "
                                  << std::mismatch(want.begin(), want.end(), actual.begin()).first - want.begin();
    }
  }
  fs::remove("/dev/shm/torv_package_copy_test.torv");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace torv_package
