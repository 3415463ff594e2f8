#pragma once

// The read-only view of a package in Python, over a PackageView: one class per record with
// the model's attribute names, each attribute made on access from the row of the record's
// schema table, so a row added there is an attribute here too. Lists are read-only
// sequences whose elements are made when indexed; segment data is a read-only memoryview
// of the mapped file.
//
// Every object made here (record view, list, the exporter behind a memoryview) holds the
// PackageView by a shared pointer: the mapping lives until the last of them is gone.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include "enums.hpp"
#include "model.hpp"
#include "torv_package/schema_table.hpp"
#include "torv_package/view.hpp"

namespace torv_package::python {

namespace py = pybind11;

using Package = std::shared_ptr<const PackageView>;

// A record of the package as seen in place.
template <class T>
struct ViewObject {
  Package package;
  View<T> view;
};

// The exporter behind a segment's memoryview: the memoryview holds it, and it the package.
struct MappedBytes {
  Package package;
  std::span<const std::uint8_t> bytes;
};

// A stored list, read-only; `item(i)` makes element i for 0 <= i < size.
struct ViewList {
  std::size_t size = 0;
  std::function<py::object(std::size_t)> item;
  std::string element;  // the elements' Python type, for repr
};

// The Python class name of a record's view: the C++ alias's (SegmentView, ...), and
// PackageView for the package itself.
template <class T>
const char* view_name() {
  return model_detail::c_name(RecordTable<T>::view_name);
}

namespace view_detail {

template <class V>
struct IsListView : std::false_type {};
template <class E, class R>
struct IsListView<ListView<E, R>> : std::true_type {};

template <class E>
std::string element_name() {
  if constexpr (std::is_integral_v<E>) {
    return "int";
  } else {
    return view_name<typename E::record_type>();
  }
}

}  // namespace view_detail

// A member as a view gives it (see ViewValue), as a Python object.
template <class V>
py::object to_python(const Package& package, const V& value) {
  if constexpr (std::is_integral_v<V> || std::is_enum_v<V>) {
    return py::cast(value);
  } else if constexpr (std::is_same_v<V, std::string_view>) {
    return py::str(value.data(), value.size());
  } else if constexpr (std::is_same_v<V, std::span<const std::uint8_t>>) {
    return py::memoryview(py::cast(MappedBytes{package, value}));
  } else if constexpr (view_detail::IsListView<V>::value) {
    using E = typename V::value_type;
    return py::cast(ViewList{value.size(), [package, value](std::size_t i) { return to_python(package, value[i]); },
                             view_detail::element_name<E>()});
  } else {
    using R = typename V::record_type;
    return py::cast(ViewObject<R>{package, value});
  }
}

// A member in a repr, as the model's repr shows it: numbers and short texts as they are,
// lists and data by size.
template <class Row, class V>
std::string view_repr(const Row&, const V& value) {
  if constexpr (Row::kind == FieldKind::number) {
    return std::to_string(value);
  } else if constexpr (Row::kind == FieldKind::enumeration) {
    return enum_text(value);
  } else if constexpr (Row::kind == FieldKind::text) {
    const py::str text(value.data(), value.size());
    return value.size() <= 40 ? std::string(py::repr(text)) : fmt::format("<{} characters>", py::len(text));
  } else if constexpr (Row::kind == FieldKind::data) {
    return fmt::format("<{} bytes>", value.size());
  } else if constexpr (Row::kind == FieldKind::number_list) {
    return value.size() > 8 ? fmt::format("<{} numbers>", value.size()) : fmt::format("[{}]", fmt::join(value, ", "));
  } else if constexpr (Row::kind == FieldKind::record_list) {
    return fmt::format("<{} {}>", value.size(), view_name<typename Row::element_type>());
  } else {
    return fmt::format("<{}>", view_name<typename Row::member_type>());
  }
}

template <class T>
py::class_<ViewObject<T>> bind_view(py::module_& m) {
  py::class_<ViewObject<T>> cls(m, view_name<T>(), Docs<T>::view);
  for_each_field<T>([&](auto row) {
    // Every name in the table is a string literal (model.hpp checks it for the model's
    // classes), so its view is a C string.
    cls.def_property_readonly(
        row.name.data(), [row](const ViewObject<T>& o) { return to_python(o.package, table_value(o.view, row)); },
        member_doc<T>(row.name));
  });
  cls.def(
      "__repr__",
      [](const ViewObject<T>& o) {
        std::string out = std::string(view_name<T>()) + "(";
        for_each_field<T>([&](auto row) {
          if (out.back() != '(') out += ", ";
          out += fmt::format("{}={}", row.name, view_repr(row, table_value(o.view, row)));
        });
        return out + ")";
      },
      "__repr__(self, /)\n--\n\nThe class and its members, as the model's repr shows them.");
  return cls;
}

inline void bind_view_support(py::module_& m) {
  static const std::uint8_t empty = 0;  // a buffer needs an address even when empty
  py::class_<MappedBytes>(m, "MappedBytes", py::buffer_protocol(),
                          "The exporter of a segment's read-only memoryview; it keeps the package mapped.")
      .def_buffer([](const MappedBytes& d) {
        return py::buffer_info(const_cast<std::uint8_t*>(d.bytes.empty() ? &empty : d.bytes.data()), 1,
                               py::format_descriptor<std::uint8_t>::format(), 1,
                               {static_cast<py::ssize_t>(d.bytes.size())}, {1}, /*readonly=*/true);
      });

  py::class_<ViewList>(m, "ListView", "A read-only list of a package view; elements are made when indexed.")
      .def(
          "__len__", [](const ViewList& l) { return l.size; }, "__len__(self, /)\n--\n\nThe number of elements.")
      .def("__getitem__",
           [](const ViewList& l, py::ssize_t i) {
             const auto n = static_cast<py::ssize_t>(l.size);
             if (i < 0) i += n;
             if (i < 0 || i >= n) throw py::index_error("list index out of range");
             return l.item(static_cast<std::size_t>(i));
           },
           "__getitem__(self, index, /)\n--\n\n"
           "Element `index` (negative counts from the end), made now; IndexError outside the list.")
      .def("__getitem__",
           [](const ViewList& l, const py::slice& s) {
             py::ssize_t start = 0, stop = 0, step = 0, length = 0;
             if (!s.compute(static_cast<py::ssize_t>(l.size), &start, &stop, &step, &length)) {
               throw py::error_already_set();
             }
             py::list out;
             for (py::ssize_t k = 0; k < length; ++k) out.append(l.item(static_cast<std::size_t>(start + k * step)));
             return out;
           },
           "With a slice: a list of the elements it selects.")
      .def(
          "__repr__", [](const ViewList& l) { return fmt::format("<ListView: {} {}>", l.size, l.element); },
          "__repr__(self, /)\n--\n\nThe length and the elements' type, not the elements.");
}

}  // namespace torv_package::python
