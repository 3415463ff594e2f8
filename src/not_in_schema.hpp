#pragma once

#include <cstdint>
#include <string_view>

#include <capnp/schema.h>

#include "torv_package/error.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package {

// The error for a stored `raw` value that is no enumerant of the model enum Enum, named
// as the schema names the enum; the name's text is the schema's own, which lives as long
// as the process.
template <class Enum>
NotInSchema not_in_schema(std::uint16_t raw) noexcept {
  const kj::StringPtr name = capnp::Schema::from<typename EnumTable<Enum>::schema_type>().getShortDisplayName();
  return NotInSchema{raw, std::string_view(name.cStr(), name.size())};
}

}  // namespace torv_package
