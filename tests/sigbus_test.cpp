// A package file that another process shrinks while it is mapped: touching its data
// raises SIGBUS, which the tools' handler turns into their one-line report and status.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "device_package.hpp"
#include "package_writer.hpp"
#include "sigbus.hpp"

namespace torv_package {
namespace {

namespace fs = std::filesystem;

// A package of several MiB, so that its last tile's data lies many pages past the start.
fs::path write_package(const std::string& name) {
  const fs::path path = fs::temp_directory_path() / (name + "_" + std::to_string(getpid()) + ".torv");
  std::ofstream(path, std::ios::binary) << testing::serialize(testing::device_application(8, testing::full_tile_data));
  return path;
}

// Shrinks the file to nothing from another process, and waits for it.
void truncate_elsewhere(const fs::path& path) {
  const pid_t child = fork();
  if (child == 0) _exit(truncate(path.c_str(), 0) == 0 ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) _exit(99);  // not the status under test
}

// Maps the package, has it truncated from another process, then reads the last byte of
// the last tile's data, which now lies past the end of the file.
[[noreturn]] void read_after_truncation(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) _exit(98);
  const auto size = static_cast<std::size_t>(st.st_size);
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) _exit(98);
  const volatile std::uint8_t* bytes = static_cast<const std::uint8_t*>(map);
  const std::uint8_t before = bytes[size - 1];  // the page was there
  truncate_elsewhere(path);
  const std::uint8_t after = bytes[size - 1];
  _exit(before == after ? 0 : 97);  // only reached if no signal was raised
}

struct Case {
  const char* name;
  int status;
  std::string installed;
  std::optional<std::string> replaced;  // set_sigbus_report before the read
  std::string expected;
};

TEST(SigbusReport, ShrunkMappedFileEndsWithTheToolsReportAndStatus) {
  const Case cases[] = {
      {"vindle", 101, "vindle: package p.torv changed while it was read\n", std::nullopt,
       "vindle: package p.torv changed while it was read\n"},
      {"torv-package, line replaced for the next package", 2, "torv-package: package a.torv changed while it was read\n",
       "torv-package: package b.torv changed while it was read\n",
       "torv-package: package b.torv changed while it was read\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = write_package("sigbus_test");
    EXPECT_EXIT(
        {
          tools::install_sigbus_report(c.installed, c.status);
          if (c.replaced) tools::set_sigbus_report(*c.replaced);
          read_after_truncation(path);
        },
        ::testing::ExitedWithCode(c.status), ::testing::Eq(c.expected));
    fs::remove(path);
  }
}

// A SIGBUS that is not a lost page of a mapping (here one sent by kill) is not reported as
// a changed package: it keeps its default action.
TEST(SigbusReport, SignalSentByKillIsNotReportedAsAChangedPackage) {
  EXPECT_EXIT(
      {
        tools::install_sigbus_report("vindle: package p.torv changed while it was read\n", 101);
        kill(getpid(), SIGBUS);
        _exit(0);
      },
      ::testing::KilledBySignal(SIGBUS), ::testing::Eq(""));
}

}  // namespace
}  // namespace torv_package
