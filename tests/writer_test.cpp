// Application::write, write_file and read_file: the round trip, refusals that write
// nothing, and replacing a file without ever leaving a partial one.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <kj/io.h>

#include "device_package.hpp"
#include "package_writer.hpp"
#include "sample_package.hpp"
#include "torv_package/application.hpp"

namespace torv_package {
namespace {

namespace fs = std::filesystem;
using testing::read_bytes;
using testing::valid_application;

std::string written(const Application& app) {
  kj::VectorOutputStream out;
  const auto result = app.write(out);
  EXPECT_TRUE(result) << result.error().debug_string();
  return std::string(reinterpret_cast<const char*>(out.getArray().begin()), out.getArray().size());
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(WritePackage, RoundTripsAndIsDeterministic) {
  const struct {
    const char* name;
    std::function<void(Application&)> mutate;
  } cases[] = {
      {"small_package", [](Application&) {}},
      {"every_field_at_extremes",
       [](Application& a) {
         a.compiler_version = std::string("nul\0inside \xc3\xa9", 13);
         a.tiles[0].segments[0].flags = 0xffffffff;
         a.tiles[0].entry_point = 0xffffffff;
         a.inputs[0].slices[0].file_offset = ~std::uint64_t{0};
         a.host_exchange.calls[0].invocations = 0xffffffff;
         a.host_exchange.command_offset = 0xffc;
         a.entry_points.push_back(EntryPoint{"", 0xffffffff, 0xffffffff});
         a.profile_tiles[0].steps[0].exchange_event_cycles = 0xffffffff;
       }},
      {"empty_texts_and_lists_inside_records",
       [](Application& a) {
         a.compiler_version.clear();
         a.weights[0].dtype.clear();
         a.weights[0].shape.clear();
         a.profile_tiles[0].steps[0].metadata = {{"", ""}};
         a.host_exchange = HostExchange{};
       }},
      {"device_shaped", [](Application& a) { a = testing::device_application(3, 4096); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Application app = valid_application();
    c.mutate(app);
    const std::string bytes = written(app);
    EXPECT_EQ(bytes.substr(0, 4), std::string(4, '\0')) << "one segment";
    const auto back = read_bytes(bytes);
    ASSERT_TRUE(back) << back.error().debug_string();
    EXPECT_TRUE(*back == app);
    EXPECT_EQ(written(*back), bytes) << "write(read(bytes)) == bytes";
    EXPECT_EQ(written(app), bytes) << "the same bytes on every run";
  }
}

// A stream that fails on its first write, and one that counts what it was given.
class FailingStream : public kj::OutputStream {
 public:
  void write(const void*, size_t) override { kj::throwFatalException(KJ_EXCEPTION(DISCONNECTED, "peer gone")); }
};
class CountingStream : public kj::OutputStream {
 public:
  void write(const void*, size_t size) override { bytes += size; }
  std::size_t bytes = 0;
};

TEST(WritePackage, RefusesWhatTheReaderWouldAndWritesNothing) {
  const struct {
    const char* name;
    std::function<void(Application&)> mutate;
    std::string location, debug;
  } cases[] = {
      {"invalid_model", [](Application& a) { a.tiles[1].segments[0].address = 0; }, "tiles[1].segments[0]",
       R"(Invalid("invalid segment on tile 7: address=0x0 end=0x100 memory_size=256 data_size=3"))"},
      {"validation_before_text", [](Application& a) { a.tiles.clear(); a.compiler_version = "\xff"; }, "tiles",
       R"(Invalid("application has no tiles"))"},
      {"text_not_utf8", [](Application& a) { a.outputs[0].dtype = "f3\xe2\x82"; }, "outputs[0].dtype",
       "Utf8(Utf8Error { valid_up_to: 2, error_len: None })"},
      {"enum_out_of_range",
       [](Application& a) {
         a.profile_tiles[0].steps[0].exchange_activities[0].kind = static_cast<ProfileExchangeActivityKind>(2);
       },
       "profile_tiles[0].steps[0].exchange_activities[0].kind", "SchemaEnum(NotInSchema(2))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Application app = valid_application();
    c.mutate(app);
    CountingStream out;
    const auto result = app.write(out);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().location(), c.location);
    EXPECT_EQ(result.error().debug_string(), c.debug);
    EXPECT_EQ(out.bytes, 0u);
  }
  FailingStream failing;
  const auto result = valid_application().write(failing);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().debug_string(), R"(Capnp(Exception { kind: Disconnected, description: "peer gone" }))");
}

class WriteFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("torv_write_" + std::to_string(getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  fs::path dir_;
};

TEST_F(WriteFile, ReplacesTheTargetAndFollowsTheUmask) {
  const fs::path target = dir_ / "package.torv";
  for (const mode_t mask : {022, 077}) {
    fs::remove(target);
    const mode_t previous = umask(mask);
    const auto result = valid_application().write_file(target);
    umask(previous);
    ASSERT_TRUE(result) << result.error().debug_string();
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
  }
  EXPECT_EQ(slurp(target), written(valid_application()));
  Application other = valid_application();
  other.compiler_version = "replaced";
  ASSERT_TRUE(other.write_file(target));
  const auto back = Application::read_file(target);
  ASSERT_TRUE(back) << back.error().debug_string();
  EXPECT_EQ(back->compiler_version, "replaced");
  EXPECT_EQ(entries(), 1u) << "no temporary file is left";
}

TEST_F(WriteFile, FailuresLeaveTheTargetAndNoTemporaryFile) {
  const fs::path target = dir_ / "package.torv";
  ASSERT_TRUE(valid_application().write_file(target));
  const std::string before = slurp(target);
  Application no_tiles = valid_application();
  no_tiles.tiles.clear();
  EXPECT_EQ(no_tiles.write_file(target).error().debug_string(), R"(Invalid("application has no tiles"))");

  // A directory in the target's place: everything is written, then the rename fails.
  const fs::path folder_target = dir_ / "folder";
  fs::create_directories(folder_target / "inside");
  EXPECT_EQ(valid_application().write_file(folder_target).error().kind(), ErrorKind::Io);
  EXPECT_EQ(valid_application().write_file(dir_ / "missing" / "p.torv").error().debug_string(),
            R"(Io(Os { code: 2, message: "No such file or directory" }))");

  // A full disk, as a file size limit: the child reports the error number it got.
  const pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const auto result = testing::device_application(2, 64 * 1024).write_file(target);
    _exit(!result && result.error().io() != nullptr ? result.error().io()->value() : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), EFBIG);

  EXPECT_EQ(slurp(target), before);
  EXPECT_EQ(entries(), 2u) << "the target and the folder, nothing else";
}

TEST(ReadFile, MissingPathIsIo) {
  const auto result = Application::read_file("/nonexistent/package.torv");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().debug_string(), R"(Io(Os { code: 2, message: "No such file or directory" }))");
}

}  // namespace
}  // namespace torv_package
