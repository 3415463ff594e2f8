#pragma once

// The Python class of each record: one property per member, a constructor taking the
// members by position (in the table's order) or by keyword, ==, copies, pickling, a short
// repr, and support for the cyclic garbage collector.

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include "enums.hpp"
#include "model.hpp"
#include "objects.hpp"

namespace torv_package::python {

// Stores a Python value into member `f` of `o`, converting and checking it. Python code
// may run while the value is converted (an __index__, an iterator); `o` is held by the
// caller, and it is written only once the value is complete.
template <class T>
struct SetField {
  Object<T>& o;
  const py::handle& value;

  std::string at(const char* name) const { return fmt::format("{}.{}", Model<T>::name, name); }
  [[noreturn]] void expected(const char* name, const char* what) const {
    throw py::type_error(fmt::format("{}: expected {}, got {}", at(name), what, type_name(value)));
  }
  template <class M>
  void operator()(const Scalar<T, M>& f) const {
    if constexpr (std::is_enum_v<M>) {
      o.value.*f.member = enum_for<M>(value, at(f.name));
    } else {
      o.value.*f.member = number_for<M>(value, at(f.name));
    }
  }
  void operator()(const Text<T>& f) const { o.value.*f.member = text_for(value, at(f.name)); }
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const {
    py::object list = as_list(value);
    child(o, f) = std::move(list);
    (o.value.*f.member).clear();
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    py::object list = as_list(value);
    child(o, f) = std::move(list);
    (o.value.*f.member).clear();
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    if (!is_instance<Object<U>>(value)) expected(f.name, Model<U>::name);
    child(o, f) = py::reinterpret_borrow<py::object>(value);
    o.value.*f.member = U{};
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    // Any bytes-like object; its bytes are copied.
    py::object data = py::cast(Data{});
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_CONTIG_RO) != 0) {
      PyErr_Clear();
      expected(f.name, "a bytes-like object");
    }
    const auto* begin = static_cast<const std::uint8_t*>(view.buf);
    try {
      py::cast<Data&>(data).bytes.assign(begin, begin + view.len);
    } catch (...) {
      PyBuffer_Release(&view);
      throw;
    }
    PyBuffer_Release(&view);
    child(o, f) = std::move(data);
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

// A member in a repr: numbers and short texts as they are, lists and data by size. Each
// member is read afresh from the record (held by the caller) after any Python code ran.
template <class T>
struct ReprField {
  const T& value;
  const std::array<py::object, Model<T>::slots>& children;
  std::string& out;

  void add(const char* name, const std::string& text) const {
    if (out.back() != '(') out += ", ";
    out += fmt::format("{}={}", name, text);
  }
  template <class F>
  const py::object& held(const F&) const {
    return std::get<F::slot>(children);
  }
  template <class M>
  void operator()(const Scalar<T, M>& f) const {
    if constexpr (std::is_enum_v<M>) {
      add(f.name, enum_text(value.*f.member));
    } else {
      add(f.name, std::to_string(value.*f.member));
    }
  }
  void operator()(const Text<T>& f) const {
    const py::str text = py::cast(value.*f.member);
    add(f.name, py::len(text) <= 40 ? std::string(py::repr(text)) : fmt::format("<{} characters>", py::len(text)));
  }
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const {
    const py::object& c = held(f);
    const std::size_t n = c ? py::len(c) : (value.*f.member).size();
    if (n > 8) {
      add(f.name, fmt::format("<{} numbers>", n));
    } else if (c) {
      add(f.name, py::repr(c));
    } else {
      add(f.name, fmt::format("[{}]", fmt::join(value.*f.member, ", ")));
    }
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    const py::object& c = held(f);
    add(f.name, fmt::format("<{} {}>", c ? py::len(c) : (value.*f.member).size(), Model<U>::name));
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    add(f.name, fmt::format("<{}>", Model<U>::name));
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    const py::object& c = held(f);
    add(f.name, fmt::format("<{} bytes>", c ? py::cast<const Data&>(c).bytes.size() : (value.*f.member).size()));
  }
};

// The default of a member, as the constructor's signature shows it: the member of a record
// made with no arguments.
template <class T>
struct DefaultOf {
  template <class M>
  py::object operator()(const Scalar<T, M>& f) const { return py::cast(T{}.*f.member); }
  py::object operator()(const Text<T>& f) const { return py::str(T{}.*f.member); }
  template <class E, std::size_t S>
  py::object operator()(const Numbers<T, E, S>&) const { return py::list(); }
  template <class U, std::size_t S>
  py::object operator()(const Records<T, U, S>&) const { return py::list(); }
  template <class U, std::size_t S>
  py::object operator()(const Record<T, U, S>&) const { return py::cast(Object<U>{}); }
  template <std::size_t S>
  py::object operator()(const Bytes<T, S>&) const { return py::bytes(""); }
};

// The default of a member as a text signature spells it, which inspect parses: a Python
// literal, an enum member by name, or "..." for a nested record.
template <class T>
struct DefaultText {
  template <class F>
  std::string operator()(const F& f) const {
    return py::repr(DefaultOf<T>{}(f));
  }
  template <class M>
  std::string operator()(const Scalar<T, M>& f) const {
    if constexpr (std::is_enum_v<M>) {
      return enum_text(T{}.*f.member);
    } else {
      return py::repr(DefaultOf<T>{}(f));
    }
  }
  template <class U, std::size_t S>
  std::string operator()(const Record<T, U, S>&) const {
    return "...";
  }
};

// Object<T> from the constructor's arguments: members by position in the table's order,
// then by keyword; members not given are zero, empty text or an empty list.
template <class T>
Object<T> construct(const py::args& args, const py::kwargs& kwargs) {
  constexpr std::size_t count = std::tuple_size_v<decltype(Model<T>::attributes)>;
  if (args.size() > count) {
    throw py::type_error(fmt::format("{}() takes at most {} positional arguments ({} given)", Model<T>::name,
                                     count, args.size()));
  }
  Object<T> o;
  std::array<bool, count> given{};
  std::size_t index = 0;
  for_each_attribute<T>([&](const auto& f) {
    if (index < args.size()) {
      given[index] = true;
      SetField<T>{o, args[index]}(f);
    }
    ++index;
  });
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key);
    bool known = false;
    index = 0;
    for_each_attribute<T>([&](const auto& f) {
      if (name == f.name) {
        if (given[index]) {
          throw py::type_error(fmt::format("{}() got multiple values for argument '{}'", Model<T>::name, name));
        }
        given[index] = true;
        SetField<T>{o, value}(f);
        known = true;
      }
      ++index;
    });
    if (!known) {
      throw py::type_error(fmt::format("{}() got an unexpected keyword argument '{}'", Model<T>::name, name));
    }
  }
  return o;
}

// The constructor's docstring, led by its text signature ("__init__(self, /, address=0,
// ...)\n--\n\n"), from which inspect.signature and stubtest read its parameters. A nested
// record's default is made afresh for each call and has no literal: it shows as "...".
template <class T>
std::string init_doc() {
  std::string parameters;
  for_each_attribute<T>([&](const auto& f) { parameters += fmt::format(", {}={}", f.name, DefaultText<T>{}(f)); });
  return fmt::format("__init__(self, /{})\n--\n\n"
                     "Makes the record from its members, by position in this order or by keyword; "
                     "a member not given takes the default shown.",
                     parameters);
}

template <class T>
py::class_<Object<T>> bind_record(py::module_& m) {
  py::class_<Object<T>> cls(m, Model<T>::name, Docs<T>::doc, py::custom_type_setup(&collect_cycles<T>));
  cls.def(py::init(&construct<T>), init_doc<T>().c_str());
  for_each_attribute<T>([&](const auto& f) {
    cls.def_property(
        f.name, [f](Object<T>& o) { return GetField<T>{o}(f); },
        [f](Object<T>& o, const py::handle& value) { SetField<T>{o, value}(f); }, member_doc<T>(f.name));
  });

  // inspect.signature and pattern matching see the members in the table's order.
  const py::module_ inspect = py::module_::import("inspect");
  const py::object parameter = inspect.attr("Parameter");
  py::list parameters;
  py::list names;
  for_each_attribute<T>([&](const auto& f) {
    parameters.append(parameter(f.name, parameter.attr("POSITIONAL_OR_KEYWORD"), py::arg("default") = DefaultOf<T>{}(f)));
    names.append(f.name);
  });
  cls.attr("__signature__") = inspect.attr("Signature")(parameters);
  cls.attr("__match_args__") = py::tuple(names);

  cls.def(
      "__eq__",
      [](const py::object& self, const py::object& other) -> py::object {
        if (!is_instance<Object<T>>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        if (self.is(other)) return py::bool_(true);
        return py::bool_(copy_out<T>(self, "") == copy_out<T>(other, ""));
      },
      "__eq__(self, other, /)\n--\n\nWhether `other` is a record of this class with equal members, "
      "compared in depth.");
  cls.attr("__hash__") = py::none();
  const auto copy = [](const py::object& self) { return Object<T>{copy_out<T>(self, ""), {}}; };
  cls.def("copy", copy, "copy(self, /)\n--\n\nA deep copy that shares nothing with this record.");
  cls.def("__copy__", copy, "__copy__(self, /)\n--\n\nA deep copy, as copy() makes.");
  cls.def(
      "__deepcopy__", [copy](const py::object& self, const py::object&) { return copy(self); },
      "__deepcopy__(self, memo, /)\n--\n\nA deep copy, as copy() makes.");
  cls.def(
      "__reduce__",
      [](const py::object& self) {
        py::list members;
        for_each_attribute<T>([&](const auto& f) { members.append(self.attr(f.name)); });
        return py::make_tuple(self.get_type(), py::tuple(members));
      },
      "__reduce__(self, /)\n--\n\nThe class and the members in order, for pickle.");
  cls.def(
      "__repr__",
      [](const py::object& self) {
        const Object<T>& o = py::cast<const Object<T>&>(self);
        // The members Python holds, held here: a repr of one may run code that replaces them.
        const auto children = o.children;
        std::string out = std::string(Model<T>::name) + "(";
        for_each_attribute<T>(ReprField<T>{o.value, children, out});
        return out + ")";
      },
      "__repr__(self, /)\n--\n\nThe class and its members; long texts, lists and data by their size.");
  return cls;
}

}  // namespace torv_package::python
