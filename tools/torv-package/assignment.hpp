#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "torv_package/application.hpp"

namespace torv_package::cli {

// One PATH=VALUE of `set`: a number, enum or text of the model at a location in the
// location grammar (tiles[3].entry_point, host_exchange.calls[0].name), found through the
// schema table, so that every field the model has can be set and no other.
class Assignment {
 public:
  // Parses `text` and checks it against the schema: the path names a number, an enum or
  // a text, and the value is one it can hold (a number in range, decimal or 0x hex; an
  // enumerant's name; UTF-8). The error is a sentence that names what is wrong.
  static std::expected<Assignment, std::string> parse(std::string_view text);

  // Sets the value in `app`; the error names a list position the package does not have.
  std::expected<void, std::string> apply(Application& app) const;

  struct Step {
    std::string name;
    std::optional<std::size_t> index;
  };

 private:
  Assignment() = default;
  std::string text_;  // as given, for messages
  std::vector<Step> steps_;
  std::string value_;
};

}  // namespace torv_package::cli
