// Runs the built vindle on package files written here and checks its standard output,
// standard error and exit status exactly.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package_writer.hpp"
#include "sample_package.hpp"

extern char** environ;

namespace torv_package {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 1000 + signal number
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int wait_status(pid_t pid) {
  int raw = 0;
  waitpid(pid, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
}

class VindleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vindle_test_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write_package(const Application& app, const std::string& name = "package.torv") {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << testing::serialize(app);
    return path.string();
  }

  // Runs vindle with `args`, its output streams going to files.
  Outcome run(const std::vector<std::string>& args) {
    const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = spawn(args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    Outcome result;
    result.status = wait_status(pid);
    result.out = slurp(out);
    result.err = slurp(err);
    return result;
  }

  pid_t spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv{const_cast<char*>(VINDLE_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, VINDLE_PATH, actions, nullptr, argv.data(), environ), 0);
    return pid;
  }

  fs::path dir_;
};

Application one_tile(std::uint32_t tile, std::vector<Segment> segments) {
  Application app;
  app.compiler_version = "test";
  app.tiles = {TileImage{tile, 0, 0, 0, std::move(segments)}};
  return app;
}

TEST_F(VindleTest, MissingArguments) {
  const Outcome none = run({});
  EXPECT_EQ(none.status, 101);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "vindle: missing argument: package\nusage: vindle <package> <tile>\n");

  const Outcome no_tile = run({(dir_ / "does-not-exist").string()});
  EXPECT_EQ(no_tile.status, 101);
  EXPECT_EQ(no_tile.out, "");
  EXPECT_EQ(no_tile.err, "vindle: missing argument: tile\nusage: vindle <package> <tile>\n")
      << "the package is not opened before both arguments are checked";
}

TEST_F(VindleTest, TileNumberForms) {
  Application app = one_tile(7, {Segment{0x4c000, 4, {1, 2, 3, 4}, 0}});
  app.tiles.push_back(TileImage{0xffffffff, 0, 0, 0, {}});
  const std::string package = write_package(app);
  const std::string seven = "segment 0x4c000 data 4 memory 4\n";
  const struct {
    std::string arg;
    int status;
    std::string out, err;
  } cases[] = {
      {"7", 0, seven, ""},
      {"+7", 0, seven, ""},
      {"007", 0, seven, ""},
      {"4294967295", 0, "", ""},
      {"-1", 101, "", "vindle: invalid tile number \"-1\": ParseIntError { kind: InvalidDigit }\n"},
      {" 7", 101, "", "vindle: invalid tile number \" 7\": ParseIntError { kind: InvalidDigit }\n"},
      {"7 ", 101, "", "vindle: invalid tile number \"7 \": ParseIntError { kind: InvalidDigit }\n"},
      {"0x7", 101, "", "vindle: invalid tile number \"0x7\": ParseIntError { kind: InvalidDigit }\n"},
      {"+", 101, "", "vindle: invalid tile number \"+\": ParseIntError { kind: InvalidDigit }\n"},
      {"++7", 101, "", "vindle: invalid tile number \"++7\": ParseIntError { kind: InvalidDigit }\n"},
      {"", 101, "", "vindle: invalid tile number \"\": ParseIntError { kind: Empty }\n"},
      {"4294967296", 101, "",
       "vindle: invalid tile number \"4294967296\": ParseIntError { kind: PosOverflow }\n"},
      {"00000000004294967295", 0, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("tile argument \"" + c.arg + "\"");
    const Outcome r = run({package, c.arg});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  // Bad numbers are refused before the file is touched.
  const Outcome r = run({(dir_ / "missing").string(), "x"});
  EXPECT_EQ(r.err, "vindle: invalid tile number \"x\": ParseIntError { kind: InvalidDigit }\n");
}

TEST_F(VindleTest, ExtraArgumentsChangeNothing) {
  const std::string package = write_package(one_tile(2, {Segment{0x50000, 4, {1, 0, 0, 0}, 0}}));
  const Outcome plain = run({package, "2"});
  const Outcome extra = run({package, "2", "--verbose", "more"});
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, "segment 0x50000 data 4 memory 4\n0x050000 00000001\n");
  EXPECT_EQ(extra.out, plain.out);
  EXPECT_EQ(extra.err, plain.err);
  EXPECT_EQ(extra.status, plain.status);
}

TEST_F(VindleTest, FileAndPackageFailures) {
  const std::string missing = (dir_ / "missing.torv").string();
  Outcome r = run({missing, "0"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, "vindle: cannot open " + missing +
                       ": Os { code: 2, message: \"No such file or directory\" }\n");

  Application no_tiles = testing::valid_application();
  no_tiles.tiles.clear();
  const std::string invalid = write_package(no_tiles, "invalid.torv");
  r = run({invalid, "5"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vindle: cannot read package " + invalid +
                       ": at tiles: Invalid(\"application has no tiles\")\n")
      << "no region line before a failed read";

  const std::string empty = (dir_ / "empty.torv").string();
  std::ofstream(empty).close();
  r = run({empty, "0"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, "vindle: cannot read package " + empty +
                       ": Capnp(Exception { kind: Failed, description: \"package file is empty\" })\n");

  // A folder opens, and its read fails: a system error like a failed open.
  r = run({dir_.string(), "0"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, "vindle: cannot open " + dir_.string() + ": Os { code: 21, message: \"Is a directory\" }\n");
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

TEST_F(VindleTest, RegionsAndMissingTileImage) {
  Application app = testing::valid_application();
  app.tiles.push_back(TileImage{3, 0, 0, 0, {}});
  app.debug_regions = {DebugRegion{3, 0x60000, 0x100, "buffer"},
                       DebugRegion{all_tiles, 0x4c000, 0x10, "everywhere"},
                       DebugRegion{5, 0x70000, 0x10, "five"}};
  const std::string package = write_package(app);

  Outcome r = run({package, "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "region tile=3 0x60000..0x60100 buffer\n"
            "region tile=4294967295 0x4c000..0x4c010 everywhere\n");

  r = run({package, "9"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "region tile=4294967295 0x4c000..0x4c010 everywhere\n"
            "vindle: package " + package + " has no image for tile 9\n");
}

TEST_F(VindleTest, SegmentsAndWords) {
  const std::string package = write_package(one_tile(
      4, {Segment{0x4c000, 8, {1, 2, 3, 4, 5, 6, 7, 8}, 0},
          Segment{0x4fffc, 4, {9, 9, 9, 9}, 0},
          Segment{0x50000, 16, {0x78, 0x56, 0x34, 0x12, 0xef, 0xbe, 0xad, 0xde, 0x01}, 0},
          Segment{0x60000, 64, {}, 0},
          Segment{0xe7ff8, 8, {0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}, 0}}));
  const Outcome r = run({package, "4"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "segment 0x4c000 data 8 memory 8\n"
            "segment 0x4fffc data 4 memory 4\n"
            "segment 0x50000 data 9 memory 16\n"
            "0x050000 12345678\n"
            "0x050004 deadbeef\n"
            "segment 0x60000 data 0 memory 64\n"
            "segment 0xe7ff8 data 8 memory 8\n"
            "0x0e7ff8 ffffffff\n"
            "0x0e7ffc 00000000\n");

  const Outcome bare = run({write_package(one_tile(1, {}), "bare.torv"), "1"});
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.out, "");
  EXPECT_EQ(bare.err, "");
}

TEST_F(VindleTest, ClosedPipeEndsWithStatus101) {
  // 600 KiB of data: far more word lines than a pipe holds.
  const std::string package =
      write_package(one_tile(0, {Segment{0x50000, 600 * 1024, std::vector<std::uint8_t>(600 * 1024, 7), 0}}));
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const fs::path err = dir_ / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t pid = spawn({package, "0"}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  char first[64];
  ASSERT_GT(read(pipe_fds[0], first, sizeof(first)), 0);
  close(pipe_fds[0]);
  EXPECT_EQ(wait_status(pid), 101) << "a write error, not a signal death";
  EXPECT_EQ(slurp(err), "vindle: cannot write to stdout: Os { code: 32, message: \"Broken pipe\" }\n");
}

TEST_F(VindleTest, FileSizeLimitEndsWithStatus101) {
  // 1 KiB of word lines into a file that may grow to 100 bytes, with SIGXFSZ at its default
  // action (death) unless vindle ignores it.
  const std::string package =
      write_package(one_tile(0, {Segment{0x50000, 256, std::vector<std::uint8_t>(256, 7), 0}}));
  const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
  const char* argv[] = {VINDLE_PATH, package.c_str(), "0", nullptr};
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit limit{100, 100};
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 ||
        setrlimit(RLIMIT_FSIZE, &limit) != 0 || signal(SIGXFSZ, SIG_DFL) == SIG_ERR) {
      _exit(127);
    }
    execv(VINDLE_PATH, const_cast<char* const*>(argv));
    _exit(127);
  }
  EXPECT_EQ(wait_status(pid), 101) << "a write error, not a signal death";
  EXPECT_EQ(slurp(err), "vindle: cannot write to stdout: Os { code: 27, message: \"File too large\" }\n");
  EXPECT_EQ(fs::file_size(out), 100u);
}

TEST_F(VindleTest, RegionLineThatCannotBeWrittenEndsTheRun) {
  const std::string package = write_package(testing::valid_application());
  const fs::path out = dir_ / "stdout";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/full", O_WRONLY, 0);
  const pid_t pid = spawn({package, "5"}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(wait_status(pid), 101);
  EXPECT_EQ(slurp(out), "") << "no segment is dumped after a failed region line";
}

TEST_F(VindleTest, ArgumentThatIsNotUtf8) {
  const Outcome r = run({write_package(one_tile(1, {})), "1\xff"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vindle: invalid argument 2: not valid UTF-8\n");
}

TEST_F(VindleTest, SampleRewrittenByTheLibraryDumpsTheSameOnEveryTile) {
  const auto sample = Application::read_file(SAMPLE_PACKAGE);
  ASSERT_TRUE(sample) << sample.error().debug_string();
  const std::string copy = (dir_ / "copy.torv").string();
  ASSERT_TRUE(sample->write_file(copy));
  for (const auto& tile : sample->tiles) {
    SCOPED_TRACE(tile.physical_tile);
    const Outcome original = run({SAMPLE_PACKAGE, std::to_string(tile.physical_tile)});
    const Outcome rewritten = run({copy, std::to_string(tile.physical_tile)});
    EXPECT_EQ(original.status, 0);
    EXPECT_EQ(rewritten.out, original.out);
    EXPECT_EQ(rewritten.err, original.err);
    EXPECT_EQ(rewritten.status, original.status);
  }
}

TEST_F(VindleTest, SamplePackageDumps) {
  const Outcome r = run({SAMPLE_PACKAGE, "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "region tile=4294967295 0x4c000..0x4c100 runtime stub\n"
            "region tile=1 0x80000..0x80200 input buffer\n");
  EXPECT_EQ(r.out,
            "segment 0x4c000 data 4 memory 64\n"
            "segment 0xe7ff0 data 16 memory 16\n"
            "0x0e7ff0 11111111\n0x0e7ff4 22222222\n0x0e7ff8 33333333\n0x0e7ffc 44444444\n");
}

}  // namespace
}  // namespace torv_package
