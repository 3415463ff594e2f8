#pragma once

// Segment data that a model refers to rather than holds, for a caller whose bytes live in
// objects of its own (the Python module's): validating and writing such a model reads
// those bytes in place instead of a copy in the model.

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

namespace torv_package {

class DataElsewhere {
 public:
  // The data member `member` of a model's segment has `bytes`, whatever it holds itself.
  // The member must stay where it is, and the bytes in place, while this is in use.
  void add(const std::vector<std::uint8_t>& member, std::span<const std::uint8_t> bytes) {
    bytes_[&member] = bytes;
  }

  // The bytes of a data member: the ones given for it, or its own.
  std::span<const std::uint8_t> of(const std::vector<std::uint8_t>& member) const {
    if (bytes_.empty()) return member;
    const auto found = bytes_.find(&member);
    return found == bytes_.end() ? std::span<const std::uint8_t>(member) : found->second;
  }

 private:
  std::unordered_map<const std::vector<std::uint8_t>*, std::span<const std::uint8_t>> bytes_;
};

}  // namespace torv_package
