#pragma once

#include <cstdint>
#include <string_view>

#include <capnp/schema.h>

#include "torv_package/error.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package {

// The name of the model enum Enum as the schema names it ("ProfileStepKind"): text of the
// schema's own, which lives as long as the process.
template <class Enum>
std::string_view enum_name() noexcept {
  const kj::StringPtr name = capnp::Schema::from<typename EnumTable<Enum>::schema_type>().getShortDisplayName();
  return {name.cStr(), name.size()};
}

// The error for a stored `raw` value that is no enumerant of Enum.
template <class Enum>
NotInSchema not_in_schema(std::uint16_t raw) noexcept {
  return NotInSchema{raw, enum_name<Enum>()};
}

}  // namespace torv_package
