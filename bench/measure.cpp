// measure [--stdin FILE] -- COMMAND ARGS...: runs COMMAND with its output discarded and
// prints "<wall seconds> <peak resident bytes> <exit status>". A small process of its own
// forks the command, so the command's peak is not inflated by a large parent.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

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
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %ld %d\n", seconds, usage.ru_maxrss * 1024L,
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
