#pragma once

// Lookups by tile and by name, on the model and on views, and a view's faults. The model's
// find the Python objects in its lists as they are now, so that what they give is the
// package's own record; its bytes are read from a copy of the package made as validate()
// makes one, segment data read in place. A view's go through the library's index.

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include "budget.hpp"
#include "errors.hpp"
#include "lookup.hpp"
#include "objects.hpp"
#include "torv_package/view.hpp"
#include "views.hpp"

namespace torv_package::python {

// Where a lookup's bytes go: a bytes object of the size asked for, made with the
// interpreter lock taken again (the lookups run without it), zero until filled.
inline lookup::Allocate into_bytes(py::object& out) {
  return [&out](std::size_t size) {
    const py::gil_scoped_acquire locked;
    PyObject* made = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (made == nullptr) throw py::error_already_set();
    out = py::reinterpret_steal<py::object>(made);
    std::memset(PyBytes_AS_STRING(made), 0, size);
    return std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(made)), size);
  };
}

inline py::bytes bytes_of(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The first record of `app`'s list `name` (of T) for which `match(value)` holds, or None.
template <class T, class Match>
py::object first_record(const py::object& app, const char* name, Match match) {
  const py::tuple items = snapshot(app.attr(name));
  for (std::size_t i = 0; i < items.size(); ++i) {
    const py::handle item = checked_record<T>(items[i], fmt::format("{}[{}]", name, i));
    if (match(py::cast<const Object<T>&>(item).value)) return py::reinterpret_borrow<py::object>(item);
  }
  return py::none();
}

inline py::object model_tile(const py::object& app, const py::handle& physical) {
  const auto number = number_for<std::uint32_t>(physical, "physical");
  return first_record<TileImage>(app, "tiles", [&](const TileImage& t) { return t.physical_tile == number; });
}

inline py::object model_binding(const py::object& app, const py::handle& name) {
  const std::string wanted = text_for(name, "name");
  for (const char* list : {"inputs", "outputs", "weights"}) {
    py::object found = first_record<Binding>(app, list, [&](const Binding& b) { return b.name == wanted; });
    if (!found.is_none()) return found;
  }
  return py::none();
}

inline py::bytes model_tile_memory(const py::object& app, const py::handle& physical) {
  const auto number = number_for<std::uint32_t>(physical, "physical");
  Application model;
  DataHeld held;
  copy_package(model, app, held);
  Result<std::vector<std::uint8_t>> window = [&] {
    py::gil_scoped_release released;
    return lookup::tile_memory_of(model, number, held.data);
  }();
  return bytes_of(value_or_raise(std::move(window)));
}

inline py::object model_binding_bytes(const py::object& app, const py::handle& name) {
  const std::string wanted = text_for(name, "name");
  Application model;
  DataHeld held;
  copy_package(model, app, held);
  py::object out;
  Result<void> done = [&] {
    py::gil_scoped_release released;
    return lookup::binding_bytes_into(model, wanted, held.data, into_bytes(out));
  }();
  value_or_raise(std::move(done));
  return out;
}

inline py::object view_tile(const ViewObject<Application>& o, const py::handle& physical) {
  const auto found = o.package->tile(number_for<std::uint32_t>(physical, "physical"));
  return found ? py::cast(ViewObject<TileImage>{o.package, *found}) : py::none();
}

inline py::object view_binding(const ViewObject<Application>& o, const py::handle& name) {
  const auto found = o.package->binding(text_for(name, "name"));
  return found ? py::cast(ViewObject<Binding>{o.package, *found}) : py::none();
}

inline py::bytes view_tile_memory(const ViewObject<Application>& o, const py::handle& physical) {
  const auto number = number_for<std::uint32_t>(physical, "physical");
  Result<std::vector<std::uint8_t>> window = [&] {
    py::gil_scoped_release released;
    return o.package->tile_memory(number);
  }();
  return bytes_of(value_or_raise(std::move(window)));
}

inline py::object view_binding_bytes(const ViewObject<Application>& o, const py::handle& name) {
  const std::string wanted = text_for(name, "name");
  py::object out;
  Result<void> done = [&] {
    py::gil_scoped_release released;
    return lookup::binding_bytes_into(*o.package, wanted, into_bytes(out));
  }();
  value_or_raise(std::move(done));
  return out;
}

// What one fault costs as a Python PackageError, generously: the exception, its
// attributes and their texts.
inline constexpr std::uint64_t python_fault_bytes = 1024;

// Every fault the rules find, as PackageErrors in rule order. A package with more than
// its memory budget holds as Python objects raises instead: check --all lists them as it
// finds them.
inline py::list view_faults(const ViewObject<Application>& o) {
  class Kept final : public FaultSink {
   public:
    explicit Kept(std::size_t most) : most_(most) {}
    bool fault(PackageError error) override {
      if (faults.size() == most_) {
        more = true;
        return false;
      }
      faults.push_back(std::move(error));
      return true;
    }
    std::vector<PackageError> faults;
    bool more = false;

   private:
    std::size_t most_;
  };
  const auto most =
      static_cast<std::size_t>(MemoryBudget(o.package->message_bytes().size()).limit() / python_fault_bytes);
  Kept kept(most);
  {
    py::gil_scoped_release released;
    o.package->validate(kept);
  }
  if (kept.more) {
    raise(PackageError::invalid(fmt::format(
        "package has more than {} faults, more than its memory budget holds as Python objects; "
        "torv-package check --all lists every one",
        most)));
  }
  py::list out;
  for (const PackageError& error : kept.faults) out.append(error_object(error));
  return out;
}

}  // namespace torv_package::python
