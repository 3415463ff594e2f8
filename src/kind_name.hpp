#pragma once

#include <string_view>

#include "torv_package/error.hpp"

namespace torv_package {

// The name of an error's kind, as the JSON reports and Python's PackageError.kind give it.
constexpr std::string_view kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Capnp: return "Capnp";
    case ErrorKind::Io: return "Io";
    case ErrorKind::Utf8: return "Utf8";
    case ErrorKind::SchemaEnum: return "SchemaEnum";
    case ErrorKind::Invalid: return "Invalid";
  }
  return "Invalid";
}

}  // namespace torv_package
