#pragma once

// The members of every record of the package model, as Python sees them: one attribute per
// row of the record's schema table, in the table's order, under the row's name. A member
// that Python holds as an object of its own once used (data, a list, a nested record) has
// a slot: its place among those rows, counted at compile time, so a row added to the
// table is a new attribute (and slot) with nothing to edit here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "python_docs.hpp"
#include "torv_package/application.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package::python {

// Attributes of a record, by kind. `name` is the row's name, a string literal.
template <class T, class M>
struct Scalar {  // a number or an enum
  const char* name;
  M T::*member;
};
template <class T>
struct Text {
  const char* name;
  std::string T::*member;
};
template <class T, class E, std::size_t Slot>
struct Numbers {
  static constexpr std::size_t slot = Slot;
  const char* name;
  std::vector<E> T::*member;
};
template <class T, class U, std::size_t Slot>
struct Records {
  static constexpr std::size_t slot = Slot;
  const char* name;
  std::vector<U> T::*member;
};
template <class T, class U, std::size_t Slot>
struct Record {
  static constexpr std::size_t slot = Slot;
  const char* name;
  U T::*member;
};
template <class T, std::size_t Slot>
struct Bytes {
  static constexpr std::size_t slot = Slot;
  const char* name;
  std::vector<std::uint8_t> T::*member;
};

namespace model_detail {

template <class T, std::size_t I>
using Row = std::remove_cvref_t<decltype(std::get<I>(RecordTable<T>::fields))>;

template <FieldKind kind>
inline constexpr bool has_slot = kind == FieldKind::data || kind == FieldKind::number_list ||
                                 kind == FieldKind::record_list || kind == FieldKind::record;

// The slot of row I of T: how many rows before it have one.
template <class T, std::size_t I>
consteval std::size_t slot_of() {
  return []<std::size_t... J>(std::index_sequence<J...>) {
    return (std::size_t{0} + ... + (has_slot<Row<T, J>::kind> ? 1 : 0));
  }(std::make_index_sequence<I>{});
}

// A name the table spells as a literal, usable where Python wants a C string.
consteval const char* c_name(std::string_view name) {
  if (name.data()[name.size()] != '\0') throw "a table name is a string literal";
  return name.data();
}

template <class T, std::size_t I>
constexpr auto attribute() {
  constexpr auto row = std::get<I>(RecordTable<T>::fields);
  using R = Row<T, I>;
  using M = typename R::member_type;
  constexpr const char* name = c_name(row.name);
  constexpr std::size_t slot = slot_of<T, I>();
  static_assert(R::kind != FieldKind::number || std::is_unsigned_v<M>,
                "the setters' range checks and their messages are for unsigned numbers");
  if constexpr (R::kind == FieldKind::number || R::kind == FieldKind::enumeration) {
    return Scalar<T, M>{name, row.member};
  } else if constexpr (R::kind == FieldKind::text) {
    return Text<T>{name, row.member};
  } else if constexpr (R::kind == FieldKind::data) {
    return Bytes<T, slot>{name, row.member};
  } else if constexpr (R::kind == FieldKind::number_list) {
    return Numbers<T, typename R::element_type, slot>{name, row.member};
  } else if constexpr (R::kind == FieldKind::record_list) {
    return Records<T, typename R::element_type, slot>{name, row.member};
  } else {
    static_assert(R::kind == FieldKind::record);
    return Record<T, M, slot>{name, row.member};
  }
}

template <class T, std::size_t... I>
constexpr auto attributes(std::index_sequence<I...>) {
  return std::tuple(attribute<T, I>()...);
}

}  // namespace model_detail

// Model<T>::name (the Python class's name), Model<T>::attributes (the attributes of record
// T, in the table's order) and Model<T>::slots (how many of them have a slot).
template <class T>
struct Model {
  static constexpr const char* name = model_detail::c_name(RecordTable<T>::name);
  static constexpr auto attributes = model_detail::attributes<T>(std::make_index_sequence<field_count<T>>{});
  static constexpr std::size_t slots = model_detail::slot_of<T, field_count<T>>();
};

// The docstring of member `name` of record T, generated from the schema.
template <class T>
const char* member_doc(std::string_view name) {
  for (const MemberDoc& member : Docs<T>::members) {
    if (member.name == name) return member.doc;
  }
  return "";
}

template <class T, class F>
void for_each_attribute(F&& f) {
  std::apply([&](const auto&... attribute) { (f(attribute), ...); }, Model<T>::attributes);
}

}  // namespace torv_package::python
