#pragma once

// How the package model lives in Python. A record is an Object: the C++ record's scalars
// and texts, and, once first used, its lists as real Python lists of Objects (and its
// nested record and segment data as Python objects). So app.tiles.append(t) changes the
// package and a record has one identity wherever it is reached from, as Python users
// expect. Until a list is used it stays in C++, which keeps reading a package as fast as
// the library.
//
// To validate or write, the Python structure is checked (types, numbers in range, no
// object twice), then every record is taken out of its Object into one C++ Application
// (moved, never copied) and given back afterwards in the same order. Both happen while the
// interpreter lock is held, so no Python code can change the structure in between.

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

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

// Segment data: the bytes, exposed through the buffer protocol without copies.
struct Data {
  std::vector<std::uint8_t> bytes;
};

// --- Materialising members into Python objects ---------------------------------------

template <class T, class F>
py::object& child(Object<T>& o, const F&) {
  return std::get<F::slot>(o.children);
}
template <class T, class F>
const py::object& child(const Object<T>& o, const F&) {
  return std::get<F::slot>(o.children);
}

template <class T, class E, std::size_t S>
py::list numbers(Object<T>& o, const Numbers<T, E, S>& f) {
  py::object& c = child(o, f);
  if (!c) {
    py::list list;
    for (const E v : o.value.*f.member) list.append(v);
    (o.value.*f.member).clear();
    c = std::move(list);
  }
  return py::reinterpret_borrow<py::list>(c);
}

template <class T, class U, std::size_t S>
py::list records(Object<T>& o, const Records<T, U, S>& f) {
  py::object& c = child(o, f);
  if (!c) {
    py::list list;
    for (U& element : o.value.*f.member) list.append(py::cast(Object<U>{std::move(element), {}}));
    (o.value.*f.member).clear();
    c = std::move(list);
  }
  return py::reinterpret_borrow<py::list>(c);
}

template <class T, class U, std::size_t S>
py::object record(Object<T>& o, const Record<T, U, S>& f) {
  py::object& c = child(o, f);
  if (!c) c = py::cast(Object<U>{std::move(o.value.*f.member), {}});
  return c;
}

template <class T, std::size_t S>
py::object bytes(Object<T>& o, const Bytes<T, S>& f) {
  py::object& c = child(o, f);
  if (!c) c = py::cast(Data{std::move(o.value.*f.member)});
  return c;
}

// A list as assigned: a list itself (so that later changes to it are the record's), or
// any other iterable copied into one.
inline py::object as_list(const py::handle& value) {
  if (py::isinstance<py::list>(value)) return py::reinterpret_borrow<py::object>(value);
  if (py::isinstance<py::str>(value) || !py::hasattr(value, "__iter__")) {
    throw py::type_error(fmt::format("expected a list, got {}", std::string(py::str(value.get_type().attr("__name__")))));
  }
  return py::list(py::reinterpret_borrow<py::object>(value));
}

// --- Checking the Python structure before it is taken ----------------------------------

// How often each Python object is reached from the records about to be taken. An object
// reached more than once (the same record in two lists, say) is copied each time instead
// of moved, as a Python list holding one object twice would have it.
struct Scan {
  std::unordered_map<PyObject*, int> reached;
  // Where each copy of segment data came from: a message written from the taken records
  // can point at the Python-held original instead of a copy that will not outlive them.
  std::unordered_map<const std::uint8_t*, const std::uint8_t*> copied_from;

  bool shared(const py::handle& object) const {
    const auto it = reached.find(object.ptr());
    return it != reached.end() && it->second > 1;
  }
};

// The location of member `name` of the record at `location` ("" for the package).
inline std::string member_location(const std::string& location, const char* name) {
  return location.empty() ? std::string(name) : location + "." + name;
}

template <class U>
Object<U>& element(const py::handle& item, const std::string& location) {
  if (!py::isinstance<Object<U>>(item)) {
    throw py::type_error(fmt::format("{}: expected {}, got {}", location, Model<U>::name,
                                     std::string(py::str(item.get_type().attr("__name__")))));
  }
  return py::cast<Object<U>&>(item);
}

template <class T>
void scan(Object<T>& o, const std::string& location, Scan& state);

template <class T>
struct ScanField {
  Object<T>& o;
  const std::string& location;
  Scan& state;

  std::string at(const char* name) const { return member_location(location, name); }
  template <class M>
  void operator()(const Scalar<T, M>&) const {}
  void operator()(const Text<T>&) const {}
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    std::size_t i = 0;
    for (const py::handle item : py::reinterpret_borrow<py::list>(c)) {
      static_assert(std::is_unsigned_v<E> && sizeof(E) <= sizeof(unsigned long long));
      bool fits = PyLong_Check(item.ptr());
      if (fits) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(item.ptr());
        fits = PyErr_Occurred() == nullptr && v <= std::numeric_limits<E>::max();
        PyErr_Clear();
      }
      if (!fits) {
        throw py::type_error(fmt::format("{}[{}]: expected an integer from 0 to {}", at(f.name), i,
                                         std::numeric_limits<E>::max()));
      }
      ++i;
    }
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    std::size_t i = 0;
    for (const py::handle item : py::reinterpret_borrow<py::list>(c)) {
      const std::string here = fmt::format("{}[{}]", at(f.name), i++);
      ++state.reached[item.ptr()];
      scan(element<U>(item, here), here, state);
    }
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    ++state.reached[c.ptr()];
    scan(py::cast<Object<U>&>(c), at(f.name), state);
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    const py::object& c = child(o, f);
    if (c) ++state.reached[c.ptr()];
  }
};

template <class T>
void scan(Object<T>& o, const std::string& location, Scan& state) {
  for_each_attribute<T>(ScanField<T>{o, location, state});
}

// --- Taking records out of their Objects, and giving them back --------------------------

// The record as one C++ value, its Objects left as they are. With `copied_from`, each
// data copy is recorded there.
template <class T>
T copy_out(const Object<T>& o, Scan* copied_from = nullptr);

template <class T>
struct CopyField {
  const Object<T>& o;
  T& out;
  Scan* copies;

  template <class M>
  void operator()(const Scalar<T, M>&) const {}
  void operator()(const Text<T>&) const {}
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    for (const py::handle item : py::reinterpret_borrow<py::list>(c)) {
      (out.*f.member).push_back(py::cast<E>(item));
    }
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    for (const py::handle item : py::reinterpret_borrow<py::list>(c)) {
      (out.*f.member).push_back(copy_out(py::cast<const Object<U>&>(item), copies));
    }
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    const py::object& c = child(o, f);
    if (c) out.*f.member = copy_out(py::cast<const Object<U>&>(c), copies);
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    const auto& original = py::cast<const Data&>(c).bytes;
    out.*f.member = original;
    if (copies != nullptr && !original.empty()) copies->copied_from[(out.*f.member).data()] = original.data();
  }
};

template <class T>
T copy_out(const Object<T>& o, Scan* copies) {
  T out = o.value;
  for_each_attribute<T>(CopyField<T>{o, out, copies});
  return out;
}

template <class T>
T take(Object<T>& o, Scan& state);
template <class T>
void give(Object<T>& o, T&& value, const Scan& state);

template <class T>
struct TakeField {
  Object<T>& o;
  T& out;
  Scan& state;

  template <class M>
  void operator()(const Scalar<T, M>&) const {}
  void operator()(const Text<T>&) const {}
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const { CopyField<T>{o, out, nullptr}(f); }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    const auto list = py::reinterpret_borrow<py::list>(c);
    auto& values = out.*f.member;
    values.reserve(list.size());
    for (const py::handle item : list) {
      auto& element = py::cast<Object<U>&>(item);
      values.push_back(state.shared(item) ? copy_out(element, &state) : take(element, state));
    }
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    auto& element = py::cast<Object<U>&>(c);
    out.*f.member = state.shared(c) ? copy_out(element, &state) : take(element, state);
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    if (state.shared(c)) {
      CopyField<T>{o, out, &state}(f);
    } else {
      out.*f.member = std::move(py::cast<Data&>(c).bytes);
    }
  }
};

template <class T>
struct GiveField {
  Object<T>& o;
  T& in;
  const Scan& state;

  template <class M>
  void operator()(const Scalar<T, M>&) const {}
  void operator()(const Text<T>&) const {}
  template <class E, std::size_t S>
  void operator()(const Numbers<T, E, S>& f) const {
    if (child(o, f)) (in.*f.member).clear();  // the Python list stays the truth
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    const py::object& c = child(o, f);
    if (!c) return;
    auto& values = in.*f.member;
    std::size_t i = 0;
    for (const py::handle item : py::reinterpret_borrow<py::list>(c)) {
      if (!state.shared(item)) give(py::cast<Object<U>&>(item), std::move(values[i]), state);
      ++i;
    }
    values.clear();  // a member Python holds stays empty in the C++ record
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    const py::object& c = child(o, f);
    if (c && !state.shared(c)) give(py::cast<Object<U>&>(c), std::move(in.*f.member), state);
  }
  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    const py::object& c = child(o, f);
    if (c && !state.shared(c)) py::cast<Data&>(c).bytes = std::move(in.*f.member);
  }
};

// Moves the record out of `o` and of every Object under it that is reached once.
template <class T>
T take(Object<T>& o, Scan& state) {
  T out = std::move(o.value);
  for_each_attribute<T>(TakeField<T>{o, out, state});
  return out;
}

// Moves back what take moved out, in the same order; what was copied stays in `value`.
template <class T>
void give(Object<T>& o, T&& value, const Scan& state) {
  for_each_attribute<T>(GiveField<T>{o, value, state});
  o.value = std::move(value);
}

// Records taken out of their Objects for as long as this lives, as C++ values, then given
// back. Raises TypeError, before anything is taken, for a structure that is not a package.
// Nothing but this code may run in between: the interpreter lock must be held.
template <class... T>
class Taken {
 public:
  explicit Taken(Object<T>&... objects)
      : objects_(objects...), state_(scanned(objects...)), values_{take(objects, state_)...} {}
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;
  ~Taken() {
    std::apply([&](auto&... values) {
      std::apply([&](auto&... objects) { (give(objects, std::move(values), state_), ...); }, objects_);
    }, values_);
  }

  const std::tuple<T...>& values() const { return values_; }
  const Scan& state() const { return state_; }

 private:
  static Scan scanned(Object<T>&... objects) {
    Scan state;
    (scan(objects, "", state), ...);
    return state;
  }

  std::tuple<Object<T>&...> objects_;
  Scan state_;
  std::tuple<T...> values_;
};

}  // namespace torv_package::python
