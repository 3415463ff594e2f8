// measure [--stdin FILE] -- COMMAND ARGS...: runs COMMAND with its output discarded and
// prints "<wall seconds> <peak resident bytes> <exit status> <peak anonymous bytes>". A
// small process of its own forks the command, so the command's peak is not inflated by a
// large parent.
//
// Peak resident memory counts the pages of a mapped file that the command touched, and
// on a kernel that caches files in large folios one touch maps up to 2 MiB of them; so
// the anonymous part, what the command allocated, is sampled too, every millisecond
// (a lower bound: a peak shorter than that can be missed).
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// RssAnon of a process, in bytes; 0 once it is gone.
long anonymous_bytes(const std::string& status_path) {
  std::FILE* status = std::fopen(status_path.c_str(), "r");
  if (status == nullptr) return 0;
  char line[256];
  long bytes = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "RssAnon:", 8) == 0) {
      bytes = std::atol(line + 8) * 1024;
      break;
    }
  }
  std::fclose(status);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const char* input = "/dev/null";
  if (argc > 2 && std::strcmp(argv[1], "--stdin") == 0) {
    input = argv[2];
    first = 3;
  }
  if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
  if (first >= argc) {
    std::fprintf(stderr, "usage: measure [--stdin FILE] -- COMMAND ARGS...\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(input, O_RDONLY);
    const int null = open("/dev/null", O_WRONLY);
    if (in < 0 || null < 0) _exit(126);
    dup2(in, 0);
    dup2(null, 1);
    dup2(null, 2);
    execvp(argv[first], argv + first);
    _exit(127);
  }
  if (pid < 0) return 1;
  // Woken by the command's exit at once, so that sampling adds nothing to its wall time.
  const int exited = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
  long peak_anonymous = 0;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0) return 1;
    peak_anonymous = std::max(peak_anonymous, anonymous_bytes(status_path));
    if (exited >= 0) {
      pollfd wait_for{exited, POLLIN, 0};
      poll(&wait_for, 1, 1);
    } else {
      usleep(1000);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %ld %d %ld\n", seconds, usage.ru_maxrss * 1024L,
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), peak_anonymous);
  return 0;
}
