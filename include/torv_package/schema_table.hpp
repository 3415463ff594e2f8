#pragma once

// How the package schema maps onto the model: one table per record, one row per field,
// generated from the schema (src/application.capnp) into torv_package/table_rows.hpp. The
// reader's conversion and the writer's passes are generic over these rows, and so can any
// other walk of the model be, so that a field added to the schema needs nothing else.
//
// A row gives the field's model name (as in error locations), its member pointer, its
// schema accessors, whether a number is an address, and its kind, deduced from the
// member's type:
//
//   member type                       kind          stored as
//   an integer                        number        UInt32, UInt64
//   an enum with an EnumTable         enumeration   the schema enum, by number
//   std::string                       text          Text
//   std::vector<std::uint8_t>         data          Data
//   std::vector<integer>              number_list   List(UInt32)
//   std::vector<Record>               record_list   List(the record's struct)
//   Record                            record        the record's struct
//
// Rows are in the order of the model's members. The reader converts them in this order,
// so it fixes the order of UTF-8, enum and Cap'n Proto errors; it is also the order in
// which the writer allocates pointers (which fixes its bytes) and in which the tools show
// fields. The schema's order differs only where a field says so (TileImage's segments).
//
// Application's header (schema version, target, tile memory window) is not part of the
// model and has no rows: the reader checks it and the writer writes it as code.
//
// To walk a record, pass a generic visitor to for_each_field and dispatch on the kind:
//
//   for_each_field<TileImage>([&](auto field) {
//     const auto& value = image.*field.member;
//     if constexpr (field.kind == FieldKind::record_list) { ... }
//   });
//
// Take the row by value (`auto field`): rows are a name and a member pointer, and only a
// row held by value gives `field.kind` as a constant expression on every compiler.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "application.capnp.h"
#include "torv_package/application.hpp"

namespace torv_package {

enum class FieldKind : std::uint8_t { number, enumeration, text, data, number_list, record_list, record };

// The table of a record of the model: `schema_type` (its schema struct), `name` (the
// model's name for it), `view_name` (its view's) and `fields` (a tuple of TableField).
// Specialised for every record in torv_package/table_rows.hpp.
template <class Record>
struct RecordTable;

// A model enum's `schema_type` (the schema enum that stores it), `name` and `enumerants`
// (their names, indexed by value); specialised for every model enum.
template <class Enum>
struct EnumTable;

template <class Record>
using schema_of = typename RecordTable<Record>::schema_type;

namespace table_detail {

template <class T>
struct Element {
  using type = void;
};
template <class T>
struct Element<std::vector<T>> {
  using type = T;
};

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <class Member>
consteval FieldKind kind_of() {
  using E = typename Element<Member>::type;
  if constexpr (std::is_same_v<Member, std::string>) {
    return FieldKind::text;
  } else if constexpr (std::is_same_v<Member, std::vector<std::uint8_t>>) {
    return FieldKind::data;
  } else if constexpr (IsVector<Member>::value && std::is_integral_v<E>) {
    return FieldKind::number_list;
  } else if constexpr (IsVector<Member>::value && std::is_class_v<E>) {
    return FieldKind::record_list;
  } else if constexpr (std::is_enum_v<Member>) {
    return FieldKind::enumeration;
  } else if constexpr (std::is_integral_v<Member>) {
    return FieldKind::number;
  } else {
    static_assert(std::is_class_v<Member>, "a field is a number, enum, text, data, list or record");
    return FieldKind::record;
  }
}

}  // namespace table_detail

// One row. `get`, `set` and `init` are stateless generic callables over the schema
// struct's Reader and Builder; each kind uses only some of them:
//   get(reader)            every kind: the stored value (a number, schema enum, Text,
//                          Data, list or struct Reader)
//   set(builder, value)    number, enumeration (a schema enum), text (Text::Reader),
//                          data (Data::Reader)
//   init(builder, count)   data, number_list, record_list: the new Data or list Builder
//   init(builder)          record: the nested struct's Builder
template <class Record, class Member, class Get, class Set, class Init, bool Address>
struct TableField {
  using record_type = Record;
  using member_type = Member;
  // The element of a list or data member; void otherwise.
  using element_type = typename table_detail::Element<Member>::type;
  static constexpr FieldKind kind = table_detail::kind_of<Member>();
  // A number that is a place in device memory or register space (an address or an
  // offset), which people read in hex.
  static constexpr bool address = Address;
  static_assert(!address || kind == FieldKind::number, "only a number is an address");

  std::string_view name;
  Member Record::*member;
  [[no_unique_address]] Get get;
  [[no_unique_address]] Set set;
  [[no_unique_address]] Init init;
};

namespace table_detail {

template <bool Address, class Record, class Member, class Get, class Set, class Init>
constexpr TableField<Record, Member, Get, Set, Init, Address> field(std::string_view name,
                                                                    Member Record::*member, Get get,
                                                                    Set set, Init init) {
  return {name, member, get, set, init};
}

// A list of types, for the lists of records and enums.
template <class... T>
struct Types {};

}  // namespace table_detail

// One row: `member` is the model's member (and name), `Accessor` the schema field's name
// with its first letter capitalised, as in its generated accessors. An ADDRESS row is a
// number that is an address.
#define TORV_PACKAGE_ROW(is_address, member, Accessor)                                   \
  ::torv_package::table_detail::field<is_address>(                                      \
      #member, &record::member, [](const auto& in) { return in.get##Accessor(); },       \
      [](auto out, auto value) { out.set##Accessor(value); },                            \
      [](auto out, auto... count) { return out.init##Accessor(count...); })
#define TORV_PACKAGE_FIELD(member, Accessor) TORV_PACKAGE_ROW(false, member, Accessor)
#define TORV_PACKAGE_ADDRESS(member, Accessor) TORV_PACKAGE_ROW(true, member, Accessor)

}  // namespace torv_package

#include "torv_package/table_rows.hpp"

namespace torv_package {

#undef TORV_PACKAGE_ADDRESS
#undef TORV_PACKAGE_FIELD
#undef TORV_PACKAGE_ROW

template <class Record>
inline constexpr std::size_t field_count = std::tuple_size_v<decltype(RecordTable<Record>::fields)>;

// Calls `visit(row)` for every row of Record's table, in order. A visitor that returns
// bool stops the walk at the first false, and for_each_field then returns false; one that
// returns nothing visits every row.
template <class Record, class Visitor>
constexpr bool for_each_field(Visitor&& visit) {
  return std::apply(
      [&](const auto&... row) {
        if constexpr ((std::is_same_v<std::invoke_result_t<Visitor&, decltype(row)>, bool> && ...)) {
          return (std::invoke(visit, row) && ...);
        } else {
          static_assert((std::is_void_v<std::invoke_result_t<Visitor&, decltype(row)>> && ...),
                        "a visitor returns bool for every row or for none");
          (std::invoke(visit, row), ...);
          return true;
        }
      },
      RecordTable<Record>::fields);
}

// Calls `visit(std::type_identity<Record>{})` for every record of the model, in the
// schema's order, and `visit(std::type_identity<Enum>{})` for every enum.
template <class Visitor>
constexpr void for_each_record(Visitor&& visit) {
  [&]<class... Record>(table_detail::Types<Record...>) { (visit(std::type_identity<Record>{}), ...); }(ModelRecords{});
}
template <class Visitor>
constexpr void for_each_enum(Visitor&& visit) {
  [&]<class... Enum>(table_detail::Types<Enum...>) { (visit(std::type_identity<Enum>{}), ...); }(ModelEnums{});
}

// The names of a model enum's enumerants, indexed by value and spelt as the model spells
// its enumerators (the schema's names with the first letter capitalised).
template <class Enum>
constexpr std::span<const std::string_view> enumerant_names() noexcept {
  return EnumTable<Enum>::enumerants;
}

// How many values a model enum has; a stored value at or above this names no enumerant.
template <class Enum>
constexpr std::size_t enumerant_count() noexcept {
  return enumerant_names<Enum>().size();
}

// The name of `value`, or an empty view for a value outside the enum.
template <class Enum>
constexpr std::string_view enumerant_name(Enum value) noexcept {
  const auto names = enumerant_names<Enum>();
  const auto raw = static_cast<std::size_t>(static_cast<std::underlying_type_t<Enum>>(value));
  return raw < names.size() ? names[raw] : std::string_view();
}

}  // namespace torv_package
