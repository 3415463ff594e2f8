#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace torv_package {

// Where the reader is in the model, kept as member names and list positions while it
// works and turned into a location ("tiles[1].segments[2].data") only when something
// fails. Entering and leaving are explicit, not scoped: when an accessor throws, the path
// still names the field it was reading.
class Path {
 public:
  // Enters member `name` of the current record.
  void enter(std::string_view name) noexcept { frames_[depth_++] = Frame{name, unindexed}; }
  // Moves to position `index` of the list entered last.
  void at(std::size_t index) noexcept { frames_[depth_ - 1].index = index; }
  void leave() noexcept { --depth_; }

  std::string str() const;

 private:
  static constexpr std::size_t unindexed = static_cast<std::size_t>(-1);
  struct Frame {
    std::string_view name;
    std::size_t index;
  };
  // The deepest place is profile_tiles[i].steps[j].exchange_activities[k].kind.
  std::array<Frame, 6> frames_{};
  std::size_t depth_ = 0;
};

// `list`[`index`] as a location.
std::string indexed(std::string_view list, std::size_t index);

}  // namespace torv_package
