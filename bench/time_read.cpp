// Median wall time of Application::read_file over repeated reads of one package, after
// one untimed read (so that it describes a process that has read before):
// time_read <package> [repetitions]. The baseline for the Python module's read.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "torv_package/application.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: time_read <package> [repetitions]\n");
    return 2;
  }
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
  std::vector<double> seconds;
  for (int i = -1; i < repetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const auto app = torv_package::Application::read_file(argv[1]);
    if (i >= 0) seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!app) {
      std::fprintf(stderr, "%s\n", app.error().debug_string().c_str());
      return 1;
    }
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("%.6f\n", seconds[seconds.size() / 2]);
  return 0;
}
