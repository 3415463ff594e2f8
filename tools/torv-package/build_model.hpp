#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "commands.hpp"
#include "torv_package/application.hpp"

namespace torv_package::cli {

// Why a document does not build, and where: the byte offset of the value at fault, and
// "not valid JSON: ..." or "PLACE: what is wrong" (PLACE a member path, or "document").
struct BuildError {
  std::size_t offset;
  std::string message;
};

// The model a `json --data=hex` or `--data=base64` document holds (`form` the one it was
// written in), not yet validated.
std::expected<Application, BuildError> model_from_json(std::string_view doc, DataForm form);

}  // namespace torv_package::cli
