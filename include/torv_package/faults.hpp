#pragma once

#include <utility>
#include <vector>

#include "torv_package/error.hpp"

namespace torv_package {

// Where validation that goes on after a fault reports: each fault the rules find, in rule
// order, with its message and location. A rule that rests on an earlier one (unique
// tiles, unique host pages, segment bounds before overlaps) skips what it cannot judge
// rather than report a consequence.
class FaultSink {
 public:
  virtual ~FaultSink() = default;
  // Takes one fault; returning false ends validation there.
  virtual bool fault(PackageError error) = 0;
};

// Keeps every fault, in the order reported.
class FaultList final : public FaultSink {
 public:
  bool fault(PackageError error) override {
    faults.push_back(std::move(error));
    return true;
  }
  std::vector<PackageError> faults;
};

}  // namespace torv_package
