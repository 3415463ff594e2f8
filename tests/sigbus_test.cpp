// A package file that another process shrinks while it is mapped: touching its data
// raises SIGBUS, which the tools' handler turns into their one-line report and status.
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_package.hpp"
#include "package_writer.hpp"
#include "sigbus.hpp"
#include "torv_package/view.hpp"

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

// Opens a view of the package, has the file truncated from another process, then reads
// the last byte of the last tile's data, which now lies past the end of the file.
[[noreturn]] void read_after_truncation(const fs::path& path) {
  auto view = PackageView::open(path);
  if (!view) _exit(98);
  const auto segments = view->tiles().back().segments();
  const std::span<const std::uint8_t> data = segments.back().data();
  if (data.empty()) _exit(98);
  const volatile std::uint8_t* last = &data.back();
  const std::uint8_t before = *last;  // the page was there
  truncate_elsewhere(path);
  const std::uint8_t after = *last;
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

#if defined(__x86_64__)
struct ToolOutcome {
  int status = -1;  // exit status, or 1000 + signal number
  std::string err;
};

// Runs a tool under ptrace and stops it when its mmap of `path` returns; truncates the
// file from here, then lets the tool go on. No timing and no hook in the tool: the file
// shrinks exactly between the mapping and the first touch of it.
ToolOutcome run_truncated_after_mapping(std::vector<std::string> args, const fs::path& path) {
  const fs::path err_path = path.string() + ".stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = open("/dev/null", O_WRONLY);
    if (err < 0 || null < 0 || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    dup2(null, 1);
    dup2(err, 2);
    raise(SIGSTOP);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  const fs::path target = fs::canonical(path);
  int raw = 0;
  waitpid(pid, &raw, 0);  // the SIGSTOP before exec
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  bool in_syscall = false, truncated = false;
  int deliver = 0;
  while (ptrace(PTRACE_SYSCALL, pid, nullptr, deliver) == 0 && waitpid(pid, &raw, 0) == pid && WIFSTOPPED(raw)) {
    deliver = 0;
    if (WSTOPSIG(raw) != (SIGTRAP | 0x80)) {
      // A signal for the tool: pass it on, but for the trap that follows exec.
      if (WSTOPSIG(raw) != SIGTRAP) deliver = WSTOPSIG(raw);
      continue;
    }
    in_syscall = !in_syscall;
    user_regs_struct regs{};
    if (in_syscall || ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0 || regs.orig_rax != SYS_mmap) continue;
    std::error_code ignored;
    const fs::path fd = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(static_cast<int>(regs.r8));
    if (static_cast<long>(regs.rax) < 0 || fs::read_symlink(fd, ignored) != target) continue;
    truncated = truncate(path.c_str(), 0) == 0;
    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    waitpid(pid, &raw, 0);
    break;
  }
  if (!truncated) {
    kill(pid, SIGKILL);
    waitpid(pid, &raw, 0);
  }
  ToolOutcome outcome;
  outcome.status = !truncated ? -1 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
  std::ifstream in(err_path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  outcome.err = text.str();
  fs::remove(err_path);
  return outcome;
}

TEST(SigbusReport, ToolsReportAPackageTruncatedWhileMapped) {
  struct ToolCase {
    std::vector<std::string> args;  // "PACKAGE" stands for the package's path
    int status;
    std::string report;
  };
  const ToolCase cases[] = {
      {{VINDLE_PATH, "PACKAGE", "3"}, 101, "vindle: package PACKAGE changed while it was read\n"},
      {{TORV_PACKAGE_PATH, "check", "PACKAGE"}, 2, "torv-package: package PACKAGE changed while it was read\n"},
  };
  const auto with_path = [](std::string text, const std::string& path) {
    if (const auto at = text.find("PACKAGE"); at != std::string::npos) text.replace(at, 7, path);
    return text;
  };
  for (const ToolCase& c : cases) {
    SCOPED_TRACE(c.args.front());
    const fs::path path = write_package("sigbus_tool_test");
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(with_path(arg, path.string()));
    const ToolOutcome outcome = run_truncated_after_mapping(args, path);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.err, with_path(c.report, path.string()));
    fs::remove(path);
  }
}
#endif

}  // namespace
}  // namespace torv_package
