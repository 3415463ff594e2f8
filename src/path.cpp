#include "path.hpp"

#include <fmt/format.h>

namespace torv_package {

std::string Path::str() const {
  std::string out;
  for (std::size_t i = 0; i < depth_; ++i) {
    if (i != 0) out.push_back('.');
    out.append(frames_[i].name);
    if (frames_[i].index != unindexed) fmt::format_to(std::back_inserter(out), "[{}]", frames_[i].index);
  }
  return out;
}

std::string indexed(std::string_view list, std::size_t index) {
  return fmt::format("{}[{}]", list, index);
}

}  // namespace torv_package
