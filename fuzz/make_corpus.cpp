// Writes the fuzz seed corpus into the directory given as the only argument: valid
// packages and one input of each failure class.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "seed_corpus.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_corpus <directory>\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  for (const auto& seed : torv_package::testing::seed_corpus()) {
    std::ofstream(dir / seed.name, std::ios::binary) << seed.bytes;
  }
  return 0;
}
