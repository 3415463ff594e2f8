#pragma once

#include <string>
#include <vector>

namespace torv_package::testing {

struct Seed {
  std::string name;
  std::string bytes;
};

// Valid packages, one input of each failure class, and well-formed packages that expand
// far beyond their size: the fuzzers' seeds, and inputs every reader must agree on.
std::vector<Seed> seed_corpus();

}  // namespace torv_package::testing
