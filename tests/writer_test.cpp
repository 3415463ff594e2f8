// Application::write, write_file and read_file: the round trip, refusals that write
// nothing, and replacing a file without ever leaving a partial one: what each kind of
// target becomes, what the replaced file keeps, and the errors on the way.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <system_error>

#include <fmt/format.h>

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
  fs::path dir_;
};

// Every name under `root`, relative to it; links are listed, not followed.
std::set<std::string> tree(const fs::path& root) {
  std::set<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    names.insert(entry.path().lexically_relative(root).string());
  }
  return names;
}

Application marked(const char* version) {
  Application app = valid_application();
  app.compiler_version = version;
  return app;
}

// The compiler version of the package at `path`, or the error that reading it gave.
std::string version_at(const fs::path& path) {
  const auto app = Application::read_file(path);
  return app ? app->compiler_version : app.error().debug_string();
}

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
  ASSERT_TRUE(marked("replaced").write_file(target));
  EXPECT_EQ(version_at(target), "replaced");
  EXPECT_EQ(tree(dir_), std::set<std::string>{"package.torv"}) << "no temporary file is left";
}

TEST_F(WriteFile, FailuresLeaveTheTargetAndNoTemporaryFile) {
  const fs::path target = dir_ / "package.torv";
  ASSERT_TRUE(valid_application().write_file(target));
  const std::string before = slurp(target);
  Application no_tiles = valid_application();
  no_tiles.tiles.clear();
  EXPECT_EQ(no_tiles.write_file(target).error().debug_string(), R"(Invalid("application has no tiles"))");
  EXPECT_EQ(valid_application().write_file(dir_ / "missing" / "p.torv").error().debug_string(),
            R"(Io(Os { code: 2, message: "No such file or directory" }))");
  EXPECT_EQ(slurp(target), before);
  EXPECT_EQ(tree(dir_), std::set<std::string>{"package.torv"});
}

// A full disk, as a file size limit, in a child so that the limit stays there. With
// SIGXFSZ ignored the oversized write fails with EFBIG instead of killing the process,
// and the temporary file is removed.
TEST_F(WriteFile, FileSizeLimitWithSigxfszIgnoredIsEfbigAndLeavesNoTemporaryFile) {
  const fs::path target = dir_ / "package.torv";
  ASSERT_TRUE(valid_application().write_file(target));
  const std::string before = slurp(target);
  const pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const auto result = testing::device_application(2, 64 * 1024).write_file(target);
    _exit(!result && result.error().io() != nullptr ? result.error().io()->value() : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), EFBIG);
  EXPECT_EQ(slurp(target), before);
  EXPECT_EQ(tree(dir_), std::set<std::string>{"package.torv"});
}

void make_fifo(const fs::path& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }
void make_link(const fs::path& text, const fs::path& link) { fs::create_symlink(text, link); }

TEST_F(WriteFile, TargetKinds) {
  const auto old_package = [](const fs::path& path) {
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(marked("old").write_file(path));
  };
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;  // in the row's own folder
    const char* target;
    const char* written_at;  // null when refused
    int error;
  } cases[] = {
      {"regular_file", [&](const fs::path& d) { old_package(d / "p.torv"); }, "p.torv", "p.torv", 0},
      {"missing", [](const fs::path&) {}, "p.torv", "p.torv", 0},
      {"absolute_link_into_another_folder",
       [&](const fs::path& d) {
         old_package(d / "real" / "p.torv");
         make_link(d / "real" / "p.torv", d / "link");
       },
       "link", "real/p.torv", 0},
      {"chain_each_text_relative_to_its_link",
       [&](const fs::path& d) {
         old_package(d / "real" / "p.torv");
         fs::create_directory(d / "sub");
         make_link("sub/second", d / "link");
         make_link("../real/p.torv", d / "sub" / "second");
       },
       "link", "real/p.torv", 0},
      {"dangling_link_creates_what_it_names",
       [](const fs::path& d) {
         fs::create_directory(d / "real");
         make_link("real/new.torv", d / "link");
       },
       "link", "real/new.torv", 0},
      {"directory", [](const fs::path& d) { fs::create_directories(d / "p.torv" / "inside"); }, "p.torv", nullptr,
       EISDIR},
      {"link_to_directory",
       [](const fs::path& d) {
         fs::create_directory(d / "real");
         make_link("real", d / "link");
       },
       "link", nullptr, EISDIR},
      {"fifo", [](const fs::path& d) { make_fifo(d / "p.torv"); }, "p.torv", nullptr, EINVAL},
      {"link_to_fifo",
       [](const fs::path& d) {
         make_fifo(d / "fifo");
         make_link("fifo", d / "link");
       },
       "link", nullptr, EINVAL},
      {"socket",
       [](const fs::path& d) {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         const std::string path = (d / "p.torv").string();
         ASSERT_LT(path.size(), sizeof address.sun_path);
         path.copy(address.sun_path, path.size());
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         ASSERT_GE(fd, 0);
         EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
         close(fd);
       },
       "p.torv", nullptr, EINVAL},
      // A node with /dev/null's numbers where root may make one; elsewhere /dev/null
      // itself, which a process that is not root could not replace anyway.
      {"character_device",
       [](const fs::path& d) {
         if (mknod((d / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
           ASSERT_NE(geteuid(), 0u) << "root could not make a device node: " << std::strerror(errno);
           make_link("/dev/null", d / "null");
         }
       },
       "null", nullptr, EINVAL},
      {"link_loop", [](const fs::path& d) { make_link("link", d / "link"); }, "link", nullptr, ELOOP},
      // Links whose text is not a path to their end: what the kernel resolves decides.
      // The descriptors stay open for the rest of the test.
      {"descriptor_link_to_a_pipe",
       [](const fs::path& d) {
         int ends[2];
         ASSERT_EQ(pipe(ends), 0);
         make_link(fmt::format("/proc/self/fd/{}", ends[1]), d / "link");
       },
       "link", nullptr, EINVAL},
      {"descriptor_link_to_a_deleted_file",
       [](const fs::path& d) {
         const int fd = open((d / "gone").c_str(), O_WRONLY | O_CREAT, 0600);
         ASSERT_GE(fd, 0);
         fs::remove(d / "gone");
         make_link(fmt::format("/proc/self/fd/{}", fd), d / "link");
       },
       "link", nullptr, ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path d = dir_ / c.name;
    fs::create_directory(d);
    c.make(d);
    if (::testing::Test::HasFatalFailure()) return;
    std::set<std::string> expected = tree(d);
    struct stat before {};
    const bool existed = lstat((d / c.target).c_str(), &before) == 0;

    const auto result = marked("replaced").write_file(d / c.target);

    struct stat after {};
    const bool exists = lstat((d / c.target).c_str(), &after) == 0;
    if (c.written_at == nullptr) {
      if (result) {
        ADD_FAILURE() << "written, not refused";
        continue;
      }
      EXPECT_EQ(result.error().debug_string(),
                fmt::format(R"(Io(Os {{ code: {}, message: "{}" }}))", c.error, std::strerror(c.error)));
      EXPECT_TRUE(existed && exists && after.st_ino == before.st_ino && after.st_mode == before.st_mode)
          << "left in place as it was";
    } else {
      if (!result) {
        ADD_FAILURE() << result.error().debug_string();
        continue;
      }
      EXPECT_EQ(version_at(d / c.written_at), "replaced");
      EXPECT_EQ(exists ? after.st_mode & S_IFMT : 0, existed ? before.st_mode & S_IFMT : S_IFREG)
          << "a link stays a link";
      expected.insert(c.written_at);
    }
    EXPECT_EQ(tree(d), expected) << "nothing else created or removed";
  }
}

TEST_F(WriteFile, ReplacedFileKeepsItsModeOwnerAndGroup) {
  // Root gives each file other ids; any other user can only check its own.
  const bool root = geteuid() == 0;
  const struct {
    mode_t mode;
    uid_t uid;
    gid_t gid;
  } cases[] = {
      {0600, 65534, 65534},
      {0640, 0, 65534},
      {0444, 65534, 0},
  };
  const mode_t previous = umask(022);  // a new file would be 0644
  for (const auto& c : cases) {
    SCOPED_TRACE(fmt::format("{:04o} {}:{}", c.mode, c.uid, c.gid));
    const fs::path target = dir_ / fmt::format("p{:o}.torv", c.mode);
    ASSERT_TRUE(marked("old").write_file(target));
    const uid_t uid = root ? c.uid : getuid();
    const gid_t gid = root ? c.gid : getgid();
    if (root) {
      ASSERT_EQ(chown(target.c_str(), uid, gid), 0);
    }
    ASSERT_EQ(chmod(target.c_str(), c.mode), 0);

    const auto result = marked("replaced").write_file(target);
    ASSERT_TRUE(result) << result.error().debug_string();
    EXPECT_EQ(version_at(target), "replaced");
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
  }
  umask(previous);
}

TEST_F(WriteFile, LongNamesFitTheirTemporaryName) {
  for (const std::size_t length : {233u, 234u, 250u, 255u}) {
    SCOPED_TRACE(length);
    const std::string name(length, 'n');
    ASSERT_TRUE(marked("old").write_file(dir_ / name));
    const auto result = marked("replaced").write_file(dir_ / name);
    ASSERT_TRUE(result) << result.error().debug_string();
    EXPECT_EQ(version_at(dir_ / name), "replaced");
    EXPECT_EQ(tree(dir_), std::set<std::string>{name});
    fs::remove(dir_ / name);
  }
}

// A folder its owner may write and enter but not list (0333): the rename succeeds and
// opening the folder to sync it fails. Modes do not bind root, so a root run writes as
// nobody, in a child.
TEST_F(WriteFile, FailedFolderSyncAfterTheRenameIsItsOwnError) {
  const fs::path folder = dir_ / "write_only";
  const fs::path target = folder / "package.torv";
  fs::create_directory(folder);
  ASSERT_TRUE(marked("old").write_file(target));
  const bool root = geteuid() == 0;
  if (root) {  // the test's folder too, which nobody might not enter under a strict umask
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(chmod(folder.c_str(), 0333), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    std::string report;
    if (root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      report = "cannot become nobody";
    } else if (const auto result = marked("replaced").write_file(target); result) {
      report = "written";
    } else {
      const std::error_code* io = result.error().io();
      report = fmt::format("{} {} {}", io != nullptr && io->category() == folder_sync_category(),
                           io != nullptr && *io == std::errc::permission_denied, result.error().debug_string());
    }
    const ssize_t ignored = write(pipe_fds[1], report.data(), report.size());
    static_cast<void>(ignored);
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  if (report == "cannot become nobody") GTEST_SKIP() << report;
  EXPECT_EQ(report,
            R"(true true Io(Os { code: 13, message: "package written, but its folder could not be synced: Permission denied" }))");
  EXPECT_EQ(version_at(target), "replaced") << "the package is in place";
  EXPECT_EQ(tree(folder), std::set<std::string>{"package.torv"});
}

TEST(ReadFile, MissingPathIsIo) {
  const auto result = Application::read_file("/nonexistent/package.torv");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().debug_string(), R"(Io(Os { code: 2, message: "No such file or directory" }))");
}

}  // namespace
}  // namespace torv_package
