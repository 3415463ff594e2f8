#pragma once

// How the package model lives in Python. A record is an Object: the C++ record's scalars
// and texts, and, once first used, its lists as real Python lists of Objects (and its
// nested record and segment data as Python objects). So app.tiles.append(t) changes the
// package and a record has one identity wherever it is reached from, as Python users
// expect. Until a list is used it stays in C++, which keeps reading a package as fast as
// the library.
//
// To validate, compare or write, the Python structure is copied into one C++ Application,
// which the call then owns. Python code can run in the middle of that copy (an __index__,
// an __iter__ of a list subclass, a finalizer started by an allocation), so the copy holds
// a strong reference to everything it is reading and reads each list from a snapshot: a
// change made meanwhile reaches the next call, never this one, and nothing is moved out of
// a Python object and back.

#include <array>
#include <cstdint>
#include <limits>
#include <tuple>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include "data_elsewhere.hpp"
#include "enums.hpp"
#include "model.hpp"

namespace torv_package::python {

namespace py = pybind11;

template <class T>
struct Object {
  T value{};
  // Members taken over by Python, by slot; a null handle means the member is still in
  // `value`.
  std::array<py::object, Model<T>::slots> children;
};

// Segment data: the bytes, exposed through the buffer protocol without copies. They are
// never resized or moved once made, so an exported buffer stays valid as long as it lives.
struct Data {
  std::vector<std::uint8_t> bytes;
};

inline std::string type_name(const py::handle& value) {
  return py::str(value.get_type().attr("__name__"));
}

// Whether `value` is an instance of C++ type V's Python class (or of a subclass), by its
// real type: PyObject_IsInstance would consult a __class__ that Python code can fake.
template <class V>
bool is_instance(const py::handle& value) {
  const auto* info = py::detail::get_type_info(typeid(V));
  return info != nullptr && PyObject_TypeCheck(value.ptr(), info->type);
}

// Pauses the cyclic garbage collector, so that no finalizer (and so no Python code) runs
// while a list is being made from C++ values.
class CollectorPaused {
 public:
  CollectorPaused() : was_enabled_(PyGC_Disable()) {}
  CollectorPaused(const CollectorPaused&) = delete;
  CollectorPaused& operator=(const CollectorPaused&) = delete;
  ~CollectorPaused() {
    if (was_enabled_ != 0) PyGC_Enable();
  }

 private:
  int was_enabled_;
};

// --- Materialising members into Python objects ---------------------------------------

template <class T, class F>
py::object& child(Object<T>& o, const F&) {
  return std::get<F::slot>(o.children);
}

// Each makes its member Python's on first use. Every Python object is made before a C++
// value is moved into one, so a MemoryError half-way loses nothing.
template <class T, class E, std::size_t S>
py::list numbers(Object<T>& o, const Numbers<T, E, S>& f) {
  if (!child(o, f)) {
    const CollectorPaused paused;
    py::list list;
    for (const E v : o.value.*f.member) list.append(v);
    (o.value.*f.member).clear();
    child(o, f) = std::move(list);
  }
  return py::reinterpret_borrow<py::list>(child(o, f));
}

template <class T, class U, std::size_t S>
py::list records(Object<T>& o, const Records<T, U, S>& f) {
  if (!child(o, f)) {
    const CollectorPaused paused;
    auto& values = o.value.*f.member;
    py::list list(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      PyList_SET_ITEM(list.ptr(), static_cast<py::ssize_t>(i), py::cast(Object<U>{}).release().ptr());
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
      py::cast<Object<U>&>(list[i]).value = std::move(values[i]);
    }
    values.clear();
    child(o, f) = std::move(list);
  }
  return py::reinterpret_borrow<py::list>(child(o, f));
}

template <class T, class U, std::size_t S>
py::object record(Object<T>& o, const Record<T, U, S>& f) {
  if (!child(o, f)) {
    py::object made = py::cast(Object<U>{});
    py::cast<Object<U>&>(made).value = std::move(o.value.*f.member);
    o.value.*f.member = U{};
    child(o, f) = std::move(made);
  }
  return child(o, f);
}

template <class T, std::size_t S>
py::object bytes(Object<T>& o, const Bytes<T, S>& f) {
  if (!child(o, f)) {
    py::object made = py::cast(Data{});
    py::cast<Data&>(made).bytes = std::move(o.value.*f.member);
    (o.value.*f.member).clear();
    child(o, f) = std::move(made);
  }
  return child(o, f);
}

// A list as assigned: a list itself (so that later changes to it are the record's), or
// any other iterable copied into one.
inline py::object as_list(const py::handle& value) {
  if (PyList_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || !py::hasattr(value, "__iter__")) {
    throw py::type_error(fmt::format("expected a list, got {}", type_name(value)));
  }
  return py::list(py::reinterpret_borrow<py::object>(value));
}

// --- Converting Python values -----------------------------------------------------------

// An unsigned number from anything with __index__ (int, numpy integers, ...), never a
// bool, a float or a string; nullopt when it is not an integer or does not fit.
template <class N>
std::optional<N> unsigned_from(const py::handle& value, bool& is_integer) {
  static_assert(std::is_unsigned_v<N> && sizeof(N) <= sizeof(unsigned long long));
  const py::object index = integer_of(value);
  is_integer = static_cast<bool>(index);
  if (!is_integer) return std::nullopt;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();
    return std::nullopt;
  }
  if (v > std::numeric_limits<N>::max()) return std::nullopt;
  return static_cast<N>(v);
}

// A number for member `where`: TypeError when not an integer, ValueError when out of range.
template <class N>
N number_for(const py::handle& value, const std::string& where) {
  bool is_integer = false;
  if (const auto n = unsigned_from<N>(value, is_integer)) return *n;
  if (!is_integer) throw py::type_error(fmt::format("{}: expected an integer, got {}", where, type_name(value)));
  throw py::value_error(fmt::format("{}: {} is out of range for an unsigned {}-bit integer", where,
                                    std::string(py::repr(value)), 8 * sizeof(N)));
}

// Text as UTF-8; a str that cannot be encoded (a lone surrogate) is a ValueError.
inline std::string text_for(const py::handle& value, const std::string& where) {
  if (!PyUnicode_Check(value.ptr())) throw py::type_error(fmt::format("{}: expected str, got {}", where, type_name(value)));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (utf8 == nullptr) {
    const py::error_already_set cause;
    throw py::value_error(fmt::format("{}: text that is not valid Unicode: {}", where, cause.what()));
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// The location of member `name` of the record at `location` ("" for the package).
inline std::string member_location(const std::string& location, const char* name) {
  return location.empty() ? std::string(name) : location + "." + name;
}

// The elements of a list as they are now, each held. The collector is paused: a list's
// items are copied into a tuple allocated first, and a finalizer run by that allocation
// could otherwise change the list under the copy.
inline py::tuple snapshot(const py::object& list) {
  const CollectorPaused paused;
  auto items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(list.ptr()));
  if (!items) throw py::error_already_set();
  return items;
}

template <class U>
const py::handle& checked_record(const py::handle& item, const std::string& location) {
  if (!is_instance<Object<U>>(item)) {
    throw py::type_error(fmt::format("{}: expected {}, got {}", location, Model<U>::name, type_name(item)));
  }
  return item;
}

// --- Copying a record out of Python -----------------------------------------------------

// Segment data that a copy refers to rather than copies: the bytes of Data objects, and the
// objects themselves, held for as long as the copy is in use. A Data object's bytes never
// move or change size, so they stay valid while it is held.
struct DataHeld {
  DataElsewhere data;
  std::vector<py::object> objects;
};

// Fills `out` (default-constructed) with record `self` (an Object<T>, held by the caller),
// sharing nothing with it, or referring to its Data objects through `held` when given.
// Raises TypeError or ValueError, naming the place, for a structure that is not a package.
// `out` stays where it is while `held` is in use, and so does every record under it: lists
// are reserved to their length before any element is placed.
template <class T>
void copy_into(T& out, const py::handle& self, const std::string& location, DataHeld* held);

template <class T>
struct CopyField {
  const std::array<py::object, Model<T>::slots>& children;
  T& out;
  const std::string& location;
  DataHeld* held;

  std::string at(const char* name) const { return member_location(location, name); }
  template <class F>
  const py::object& child_of(const F&) const {
    return std::get<F::slot>(children);
  }

  template <class M>
  void operator()(const Scalar<T, M>&) const {}
  void operator()(const Text<T>&) const {}
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const {
    const py::object& list = child_of(f);
    if (!list) return;
    const py::tuple items = snapshot(list);
    auto& values = out.*f.member;
    values.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      bool is_integer = false;
      const auto n = unsigned_from<E>(items[i], is_integer);
      if (!n) {
        throw py::type_error(fmt::format("{}[{}]: expected an integer from 0 to {}", at(f.name), i,
                                         std::numeric_limits<E>::max()));
      }
      values.push_back(*n);
    }
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    const py::object& list = child_of(f);
    if (!list) return;
    const py::tuple items = snapshot(list);
    auto& values = out.*f.member;
    values.clear();  // a member Python holds is empty in the value; no element may move below
    values.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      const std::string here = fmt::format("{}[{}]", at(f.name), i);
      copy_into(values.emplace_back(), checked_record<U>(items[i], here), here, held);
    }
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    const py::object& nested = child_of(f);
    if (nested) copy_into(out.*f.member, checked_record<U>(nested, at(f.name)), at(f.name), held);
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    const py::object& data = child_of(f);
    if (!data) return;
    const auto& bytes = py::cast<const Data&>(data).bytes;
    if (held == nullptr) {
      out.*f.member = bytes;
    } else {
      held->objects.push_back(data);
      held->data.add(out.*f.member, bytes);
    }
  }
};

template <class T>
void copy_into(T& out, const py::handle& self, const std::string& location, DataHeld* held) {
  const py::object holding = py::reinterpret_borrow<py::object>(self);
  const Object<T>& o = py::cast<const Object<T>&>(holding);
  // The value and the members' objects together, before any Python code can run: a member
  // Python holds is empty in `value`, and one it does not is copied with it.
  out = o.value;
  const auto children = o.children;
  for_each_attribute<T>(CopyField<T>{children, out, location, held});
}

template <class T>
T copy_out(const py::handle& self, const std::string& location) {
  T out;
  copy_into(out, self, location, nullptr);
  return out;
}

// Whether record T holds segment data, itself or in a record below it.
template <class T>
constexpr bool holds_data();

template <class F>
constexpr bool leads_to_data(F) {
  if constexpr (F::kind == FieldKind::data) {
    return true;
  } else if constexpr (F::kind == FieldKind::record_list) {
    return holds_data<typename F::element_type>();
  } else if constexpr (F::kind == FieldKind::record) {
    return holds_data<typename F::member_type>();
  } else {
    return false;
  }
}

template <class T>
constexpr bool holds_data() {
  return std::apply([](auto... row) { return (leads_to_data(row) || ...); }, RecordTable<T>::fields);
}

// Makes Python's every member on the way from `o` to segment data, and the data itself, so
// that a copy can refer to the data in place (a member still in C++ would be copied whole).
// No other list becomes Python's. Objects of the wrong type are left to the copy to report.
template <class T>
void materialise_data(Object<T>& o);

template <class T>
struct MaterialiseData {
  Object<T>& o;

  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    bytes(o, f);
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    if constexpr (holds_data<U>()) {
      const py::tuple items = snapshot(records(o, f));
      for (const py::handle item : items) {
        if (is_instance<Object<U>>(item)) materialise_data(py::cast<Object<U>&>(item));
      }
    }
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    if constexpr (holds_data<U>()) {
      const py::object nested = record(o, f);
      if (is_instance<Object<U>>(nested)) materialise_data(py::cast<Object<U>&>(nested));
    }
  }
  template <class F>
  void operator()(const F&) const {}  // numbers, texts and number lists
};

template <class T>
void materialise_data(Object<T>& o) {
  for_each_attribute<T>(MaterialiseData<T>{o});
}

// Fills `model` with the package, copied out of its Python objects except for segment data,
// which stays in its Data objects: `held` keeps them, and `model` must stay where it is.
inline void copy_package(Application& model, const py::object& app, DataHeld& held) {
  materialise_data(py::cast<Object<Application>&>(app));
  copy_into(model, app, "", &held);
}

// --- The cyclic garbage collector ---------------------------------------------------------

// The Object<T> inside a pybind11 instance, or null while it is not constructed yet.
template <class T>
Object<T>* object_of(PyObject* self) {
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  const auto holder = instance->get_value_and_holder(py::detail::get_type_info(typeid(Object<T>)), false);
  if (!holder || !holder.holder_constructed()) return nullptr;
  return holder.template value_ptr<Object<T>>();
}

// Lets the collector see the Python objects a record holds, and break cycles through them.
template <class T>
void collect_cycles(PyHeapTypeObject* heap_type) {
  auto* type = &heap_type->ht_type;
  type->tp_flags |= Py_TPFLAGS_HAVE_GC;
  type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
    Py_VISIT(Py_TYPE(self));
    if (Object<T>* o = object_of<T>(self)) {
      for (const py::object& c : o->children) Py_VISIT(c.ptr());
    }
    return 0;
  };
  type->tp_clear = [](PyObject* self) -> int {
    if (Object<T>* o = object_of<T>(self)) {
      // Released only once all are detached: a finalizer run by a release sees no
      // half-cleared record.
      [[maybe_unused]] const auto released = std::move(o->children);
      o->children = {};
    }
    return 0;
  };
}

}  // namespace torv_package::python
