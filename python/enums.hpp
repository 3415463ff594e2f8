#pragma once

// The model's enums in Python: enum.IntEnum classes made from the schema's enumerant
// names, so they compare, hash and pickle as Python users expect, and a pybind11 caster
// that gives every model enum value as its IntEnum member.

#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include "python_docs.hpp"
#include "torv_package/application.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package::python {

namespace py = pybind11;

template <class E>
concept ModelEnum = std::is_enum_v<E> && requires { typename EnumTable<E>::schema_type; };

// The IntEnum class of E, made once by define_enum and kept for the life of the process
// (never released: the interpreter may be gone when static objects are destroyed).
template <ModelEnum E>
PyObject*& enum_class() {
  static PyObject* cls = nullptr;
  return cls;
}

template <ModelEnum E>
void define_enum(py::module_& m) {
  const std::string name(EnumTable<E>::name);
  py::list members;
  const auto names = enumerant_names<E>();
  for (std::size_t value = 0; value < names.size(); ++value) {
    members.append(py::make_tuple(std::string(names[value]), value));
  }
  py::object cls = py::module_::import("enum").attr("IntEnum")(name, members, py::arg("module") = "torv_package");
  cls.attr("__doc__") = Docs<E>::doc;
  m.attr(name.c_str()) = cls;
  enum_class<E>() = cls.release().ptr();
}

// The enum value of a Python value: a member of E's class, or any integer (anything with
// __index__, not a bool) that is one of E's values. nullopt otherwise.
// The int of anything with __index__ (int, numpy integers, ...), never of a bool or a
// float; a null object when it is not an integer.
inline py::object integer_of(const py::handle& value) {
  if (PyBool_Check(value.ptr()) || PyFloat_Check(value.ptr())) return {};
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
  }
  return index;
}

template <ModelEnum E>
std::optional<E> enum_from(const py::handle& value) {
  const py::object index = integer_of(value);
  if (!index) return std::nullopt;
  const long long v = PyLong_AsLongLong(index.ptr());
  if (PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (v < 0 || static_cast<std::size_t>(v) >= enumerant_count<E>()) return std::nullopt;
  return static_cast<E>(v);
}

// A value for enum member `where`: TypeError when not an integer, ValueError when it names
// no enumerant.
template <ModelEnum E>
E enum_for(const py::handle& value, const std::string& where) {
  if (const auto e = enum_from<E>(value)) return *e;
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    throw py::type_error(fmt::format("{}: expected {}, got {}", where,
                                     std::string(py::str(py::handle(enum_class<E>()).attr("__name__"))),
                                     std::string(py::str(value.get_type().attr("__name__")))));
  }
  throw py::value_error(fmt::format("{}: {} is not a valid {}", where, std::string(py::repr(value)),
                                    std::string(py::str(py::handle(enum_class<E>()).attr("__name__")))));
}

// How a repr shows an enum value: ProfileStepKind.Idle.
template <ModelEnum E>
std::string enum_text(E value) {
  return fmt::format("{}.{}", std::string(py::str(py::handle(enum_class<E>()).attr("__name__"))),
                     enumerant_name(value));
}

}  // namespace torv_package::python

namespace pybind11::detail {

template <torv_package::python::ModelEnum E>
class type_caster<E> {
 public:
  PYBIND11_TYPE_CASTER(E, const_name("IntEnum"));

  bool load(handle src, bool) {
    const auto e = torv_package::python::enum_from<E>(src);
    if (!e) return false;
    value = *e;
    return true;
  }
  static handle cast(E e, return_value_policy, handle) {
    return PyObject_CallFunction(torv_package::python::enum_class<E>(), "n",
                                 static_cast<Py_ssize_t>(static_cast<std::underlying_type_t<E>>(e)));
  }
};

}  // namespace pybind11::detail
