#pragma once

// The Python class of each record: one property per member, a constructor taking the
// members as keyword arguments, ==, copy() and a short repr.

#include <cstdint>
#include <string>
#include <type_traits>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include "model.hpp"
#include "objects.hpp"

namespace torv_package::python {

inline std::string type_name(const py::handle& value) {
  return py::str(value.get_type().attr("__name__"));
}

// Stores a Python value into member `f` of `o`, converting and checking it.
template <class T>
struct SetField {
  Object<T>& o;
  const py::handle& value;

  [[noreturn]] void expected(const char* name, const char* what) const {
    throw py::type_error(fmt::format("{}.{}: expected {}, got {}", Model<T>::name, name, what, type_name(value)));
  }
  template <class M>
  void operator()(const Scalar<T, M>& f) const {
    if constexpr (std::is_enum_v<M>) {
      if (!py::isinstance<M>(value)) expected(f.name, "an enum member");
    } else {
      // Exact integers only: no floats, no strings, nothing negative or too large.
      if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) expected(f.name, "an integer");
    }
    try {
      o.value.*f.member = py::cast<M>(value);
    } catch (const py::cast_error&) {
      throw py::value_error(fmt::format("{}.{}: {} is out of range for an unsigned {}-bit integer",
                                        Model<T>::name, f.name, std::string(py::repr(value)), 8 * sizeof(M)));
    }
  }
  void operator()(const Text<T>& f) const {
    if (!py::isinstance<py::str>(value)) expected(f.name, "str");
    o.value.*f.member = py::cast<std::string>(value);
  }
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const {
    child(o, f) = as_list(value);
    (o.value.*f.member).clear();
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    child(o, f) = as_list(value);
    (o.value.*f.member).clear();
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    if (!py::isinstance<Object<U>>(value)) expected(f.name, Model<U>::name);
    child(o, f) = py::reinterpret_borrow<py::object>(value);
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    // Any bytes-like object; its bytes are copied.
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_CONTIG_RO) != 0) {
      PyErr_Clear();
      expected(f.name, "a bytes-like object");
    }
    const auto* begin = static_cast<const std::uint8_t*>(view.buf);
    Data data{std::vector<std::uint8_t>(begin, begin + view.len)};
    PyBuffer_Release(&view);
    child(o, f) = py::cast(std::move(data));
    (o.value.*f.member).clear();
  }
};

// Gets member `f` of `o` as a Python value; lists and records become Python's here.
template <class T>
struct GetField {
  Object<T>& o;

  template <class M>
  py::object operator()(const Scalar<T, M>& f) const { return py::cast(o.value.*f.member); }
  py::object operator()(const Text<T>& f) const { return py::cast(o.value.*f.member); }
  template <class E, std::size_t S>
  py::object operator()(const Numbers<T, E, S>& f) const { return numbers(o, f); }
  template <class U, std::size_t S>
  py::object operator()(const Records<T, U, S>& f) const { return records(o, f); }
  template <class U, std::size_t S>
  py::object operator()(const Record<T, U, S>& f) const { return record(o, f); }
  template <std::size_t S>
  py::object operator()(const Bytes<T, S>& f) const { return bytes(o, f); }
};

// A member in a repr: numbers and short texts as they are, lists and data by size.
template <class T>
struct ReprField {
  const Object<T>& o;
  std::string& out;

  void add(const char* name, const std::string& value) const {
    if (out.back() != '(') out += ", ";
    out += fmt::format("{}={}", name, value);
  }
  template <class F>
  std::size_t length(const F& f, std::size_t in_value) const {
    const py::object& c = child(o, f);
    return c ? py::len(c) : in_value;
  }
  template <class M>
  void operator()(const Scalar<T, M>& f) const {
    if constexpr (std::is_enum_v<M>) {
      add(f.name, std::string(py::str(py::cast(o.value.*f.member))));
    } else {
      add(f.name, std::to_string(o.value.*f.member));
    }
  }
  void operator()(const Text<T>& f) const {
    const std::string& text = o.value.*f.member;
    add(f.name, text.size() <= 40 ? std::string(py::repr(py::cast(text)))
                                  : fmt::format("<{} characters>", py::len(py::cast(text))));
  }
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const {
    const py::object& c = child(o, f);
    const std::size_t n = length(f, (o.value.*f.member).size());
    if (n > 8) {
      add(f.name, fmt::format("<{} numbers>", n));
    } else if (c) {
      add(f.name, py::repr(c));
    } else {
      add(f.name, fmt::format("[{}]", fmt::join(o.value.*f.member, ", ")));
    }
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    add(f.name, fmt::format("<{} {}>", length(f, (o.value.*f.member).size()), Model<U>::name));
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    add(f.name, fmt::format("<{}>", Model<U>::name));
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    const py::object& c = child(o, f);
    add(f.name, fmt::format("<{} bytes>", c ? py::cast<const Data&>(c).bytes.size() : (o.value.*f.member).size()));
  }
};

template <class T>
py::class_<Object<T>> bind_record(py::module_& m, const char* doc) {
  py::class_<Object<T>> cls(m, Model<T>::name, doc);
  cls.def(py::init([](const py::kwargs& kwargs) {
            Object<T> o;
            for (const auto& [key, value] : kwargs) {
              const std::string name = py::str(key);
              bool known = false;
              for_each_attribute<T>([&](const auto& f) {
                if (name == f.name) {
                  SetField<T>{o, value}(f);
                  known = true;
                }
              });
              if (!known) {
                throw py::type_error(fmt::format("{}() got an unexpected keyword argument '{}'", Model<T>::name, name));
              }
            }
            return o;
          }),
          "Members not given are zero, empty text or an empty list.");
  for_each_attribute<T>([&](const auto& f) {
    cls.def_property(
        f.name, [f](Object<T>& o) { return GetField<T>{o}(f); },
        [f](Object<T>& o, const py::handle& value) { SetField<T>{o, value}(f); });
  });
  cls.def("__eq__", [](const py::object& self, const py::object& other) -> py::object {
    if (!py::isinstance<Object<T>>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    if (self.is(other)) return py::bool_(true);
    const Taken<T, T> taken(py::cast<Object<T>&>(self), py::cast<Object<T>&>(other));
    return py::bool_(std::get<0>(taken.values()) == std::get<1>(taken.values()));
  });
  cls.attr("__hash__") = py::none();
  cls.def("copy", [](const Object<T>& o) { return Object<T>{copy_out(o), {}}; },
          "A deep copy that shares nothing with this record.");
  cls.def("__copy__", [](const Object<T>& o) { return Object<T>{copy_out(o), {}}; });
  cls.def("__deepcopy__", [](const Object<T>& o, const py::object&) { return Object<T>{copy_out(o), {}}; });
  cls.def("__repr__", [](const Object<T>& o) {
    std::string out = std::string(Model<T>::name) + "(";
    for_each_attribute<T>(ReprField<T>{o, out});
    return out + ")";
  });
  return cls;
}

}  // namespace torv_package::python
