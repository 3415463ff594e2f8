// The torv_package Python module: reading, the model, validating and writing, and
// read-only views of a package in place.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <kj/io.h>
#include <pybind11/pybind11.h>

#include "classes.hpp"
#include "errors.hpp"
#include "paths.hpp"
#include "torv_package/application.hpp"
#include "torv_package/schema_table.hpp"
#include "torv_package/view.hpp"
#include "views.hpp"
#include "writer.hpp"

namespace torv_package::python {
namespace {

Object<Application> read(const py::object& source) {
  if (is_path(source)) {
    const std::filesystem::path path = as_path(source);
    Result<Application> result = [&] {
      py::gil_scoped_release released;
      return Application::read_file(path);
    }();
    return Object<Application>{value_or_raise(std::move(result)), {}};
  }
  Py_buffer view;
  if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_CONTIG_RO) != 0) {
    PyErr_Clear();
    throw py::type_error(fmt::format("read() takes a path or a bytes-like object, not {}", type_name(source)));
  }
  // The exported buffer stays valid, and cannot be resized, until it is released.
  Result<Application> result = [&] {
    py::gil_scoped_release released;
    return Application::read(kj::heap<kj::ArrayInputStream>(
        kj::ArrayPtr<const kj::byte>(static_cast<const kj::byte*>(view.buf), static_cast<std::size_t>(view.len))));
  }();
  PyBuffer_Release(&view);
  return Object<Application>{value_or_raise(std::move(result)), {}};
}

// A view of the package at a path (mapped) or in a bytes-like object. A read-only buffer
// (bytes, say) is viewed in place and kept alive by the view; a writable one is copied
// first, since a change to it would bypass validation. Bytes changed under a view all the
// same (a file rewritten in place, memory behind a read-only memoryview) still read within
// the message's bounds: the readers check every pointer as they follow it.
ViewObject<Application> open(const py::object& source) {
  Result<PackageView> result = [&] {
    if (is_path(source)) {
      const std::filesystem::path path = as_path(source);
      py::gil_scoped_release released;
      return PackageView::open(path);
    }
    auto* buffer = new Py_buffer;
    if (PyObject_GetBuffer(source.ptr(), buffer, PyBUF_CONTIG_RO) != 0) {
      delete buffer;
      PyErr_Clear();
      throw py::type_error(fmt::format("open() takes a path or a bytes-like object, not {}", type_name(source)));
    }
    // Released with the lock, whichever thread drops the last reference.
    const std::shared_ptr<Py_buffer> owner(buffer, [](Py_buffer* b) {
      const py::gil_scoped_acquire locked;
      PyBuffer_Release(b);
      delete b;
    });
    const std::span<const std::byte> bytes(static_cast<const std::byte*>(owner->buf),
                                           static_cast<std::size_t>(owner->len));
    py::gil_scoped_release released;
    if (owner->readonly == 0) return PackageView::from_bytes(std::vector<std::byte>(bytes.begin(), bytes.end()));
    return PackageView::from_bytes(bytes, owner);
  }();
  auto package = std::make_shared<const PackageView>(value_or_raise(std::move(result)));
  const View<Application>& root = *package;
  return ViewObject<Application>{std::move(package), root};
}

// A model enum as a Python enum, its members named and numbered as in the schema.
template <class E>
void bind_enum(py::module_& m, const char* name) {
  py::enum_<E> cls(m, name);
  const auto names = enumerant_names<E>();
  for (std::size_t value = 0; value < names.size(); ++value) {
    cls.value(std::string(names[value]).c_str(), static_cast<E>(value));
  }
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

// Gathers the data objects of every record under `o`, made Python objects on the way, and
// so only down the members that lead to data: no other list need become Python's.
template <class T>
void hold_data(Object<T>& o, const std::string& location, std::vector<py::object>& held);

template <class T>
struct HoldData {
  Object<T>& o;
  const std::string& location;
  std::vector<py::object>& held;

  template <std::size_t S>
  void operator()(const Bytes<T, S>& f) const {
    held.push_back(bytes(o, f));
  }
  template <class U, std::size_t S>
  void operator()(const Records<T, U, S>& f) const {
    if constexpr (holds_data<U>()) {
      const py::list list = records(o, f);
      for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string here = fmt::format("{}[{}]", member_location(location, f.name), i);
        hold_data(element<U>(list[i], here), here, held);
      }
    }
  }
  template <class U, std::size_t S>
  void operator()(const Record<T, U, S>& f) const {
    if constexpr (holds_data<U>()) {
      hold_data(py::cast<Object<U>&>(record(o, f)), member_location(location, f.name), held);
    }
  }
  template <class F>
  void operator()(const F&) const {}  // numbers, text and number lists
};

template <class T>
void hold_data(Object<T>& o, const std::string& location, std::vector<py::object>& held) {
  for_each_attribute<T>(HoldData<T>{o, location, held});
}

// Builds the message of a package with the lock held. It is written afterwards without
// the lock, so every byte it points at must stay where it is until then: each segment's
// data is first made a Data object, held here, which no Python code can resize; and data
// that had to be copied (a segment reached twice) is pointed at its original instead.
struct Prepared {
  std::vector<py::object> data;
  BuiltMessage message;
};

Prepared prepare(Object<Application>& app) {
  Prepared prepared;
  hold_data(app, "", prepared.data);
  Result<BuiltMessage> built = [&] {
    const Taken<Application> taken(app);
    auto message = build_message(std::get<0>(taken.values()));
    if (message) {
      for (DataHole& hole : message->holes) {
        const auto original = taken.state().copied_from.find(hole.bytes.begin());
        if (original != taken.state().copied_from.end()) hole.bytes = {original->second, hole.bytes.size()};
      }
    }
    return message;
  }();
  prepared.message = value_or_raise(std::move(built));
  return prepared;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "Reads, checks and writes compiled application packages for the tiled device.";

  define_package_error(m);

  bind_enum<ProfileStepKind>(m, "ProfileStepKind");
  bind_enum<ProfileExchangeActivityKind>(m, "ProfileExchangeActivityKind");

  py::class_<Data>(m, "Data", py::buffer_protocol(),
                   "A segment's bytes, seen through the buffer protocol without copies.")
      .def_buffer([](Data& d) {
        return py::buffer_info(d.bytes.data(), 1, py::format_descriptor<std::uint8_t>::format(), 1,
                               {static_cast<py::ssize_t>(d.bytes.size())}, {1});
      })
      .def("__len__", [](const Data& d) { return d.bytes.size(); })
      .def("__bytes__", [](const Data& d) {
        return py::bytes(reinterpret_cast<const char*>(d.bytes.data()), d.bytes.size());
      })
      .def("__eq__", [](const Data& d, const py::object& other) -> py::object {
        Py_buffer view;
        if (PyObject_GetBuffer(other.ptr(), &view, PyBUF_CONTIG_RO) != 0) {
          PyErr_Clear();
          return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        }
        const auto* begin = static_cast<const std::uint8_t*>(view.buf);
        const bool equal = std::equal(d.bytes.begin(), d.bytes.end(), begin, begin + view.len);
        PyBuffer_Release(&view);
        return py::bool_(equal);
      })
      .def("__repr__", [](const Data& d) { return fmt::format("<Data: {} bytes>", d.bytes.size()); });
  m.attr("Data").attr("__hash__") = py::none();

  bind_record<Segment>(m, "One loadable piece of tile memory.");
  bind_record<TileImage>(m, "The program image of one physical tile.");
  bind_record<RegionSlice>(m, "One piece of a tensor on one tile.");
  bind_record<Binding>(m, "A named tensor: an input, output or weight.");
  bind_record<HostPage>(m, "A host page.");
  bind_record<HostSlice>(m, "A piece of a host call's data inside a host page.");
  bind_record<HostCall>(m, "One call of the host exchange, with its data slices.");
  bind_record<HostExchange>(m, "The host exchange: pages, the command slot and host calls.");
  bind_record<EntryPoint>(m, "A named entry point.");
  bind_record<DeviceConfigWrite>(m, "A device configuration register write.");
  bind_record<ProfileMetadata>(m, "A name/value annotation of a profile step.");
  bind_record<ProfileExchangeActivity>(m, "A send or receive window of a profile step.");
  bind_record<ProfileStep>(m, "One step of a tile's profiling plan.");
  bind_record<TileProfilePlan>(m, "The profiling plan of one tile.");
  bind_record<DebugSymbol>(m, "A named address.");
  bind_record<DebugRegion>(m, "A named memory region.");
  bind_record<Application>(m, "One compiled application package.")
      .def("validate",
           [](Object<Application>& app) {
             Result<void> valid = [&] {
               const Taken<Application> taken(app);
               return std::get<0>(taken.values()).validate();
             }();
             value_or_raise(std::move(valid));
           },
           "Checks the package's consistency; raises PackageError naming the place of the first fault.")
      .def("write",
           [](Object<Application>& app, const py::object& path) {
             const std::filesystem::path target = py::cast<std::string>(py::module_::import("os").attr("fsdecode")(path));
             Prepared prepared = prepare(app);
             Result<void> written = [&] {
               py::gil_scoped_release released;
               return write_built_file(prepared.message, target);
             }();
             value_or_raise(std::move(written));
           },
           py::arg("path"),
           "Validates and writes the package to `path`, replacing any file there only once the new "
           "one is complete: a write that fails leaves the old file as it was, except a failed sync "
           "of the folder after the replacement, which raises with the new package in place.")
      .def("to_bytes",
           [](Object<Application>& app) {
             Prepared prepared = prepare(app);
             kj::VectorOutputStream out;
             {
               py::gil_scoped_release released;
               prepared.message.write_to(out);
             }
             return py::bytes(reinterpret_cast<const char*>(out.getArray().begin()), out.getArray().size());
           },
           "Validates the package and returns it as bytes.");

  bind_view_support(m);
  bind_view<Segment>(m, "A segment of a package view; `data` is a read-only memoryview of the file.");
  bind_view<TileImage>(m, "A tile image of a package view.");
  bind_view<RegionSlice>(m, "A region slice of a package view.");
  bind_view<Binding>(m, "A binding of a package view.");
  bind_view<HostPage>(m, "A host page of a package view.");
  bind_view<HostSlice>(m, "A host slice of a package view.");
  bind_view<HostCall>(m, "A host call of a package view.");
  bind_view<HostExchange>(m, "The host exchange of a package view.");
  bind_view<EntryPoint>(m, "An entry point of a package view.");
  bind_view<DeviceConfigWrite>(m, "A device configuration write of a package view.");
  bind_view<ProfileMetadata>(m, "A profile annotation of a package view.");
  bind_view<ProfileExchangeActivity>(m, "A profile exchange window of a package view.");
  bind_view<ProfileStep>(m, "A profile step of a package view.");
  bind_view<TileProfilePlan>(m, "A tile's profiling plan of a package view.");
  bind_view<DebugSymbol>(m, "A debug symbol of a package view.");
  bind_view<DebugRegion>(m, "A debug region of a package view.");
  bind_view<Application>(m, "A validated, read-only view of a package in place, with Application's attributes.")
      .def("to_application",
           [](const ViewObject<Application>& o) {
             Result<Application> result = [&] {
               py::gil_scoped_release released;
               return o.package->to_application();
             }();
             return Object<Application>{value_or_raise(std::move(result)), {}};
           },
           "The editable model, equal to read() of the same package.");

  m.def("open", &open, py::arg("source"),
        "Opens a package read-only in place from a path (str or os.PathLike; the file is mapped) "
        "or from a bytes-like object, validated as read() validates it; raises PackageError "
        "when it cannot. Segment data are memoryviews of the file, and the file stays mapped "
        "while any object taken from the view lives.");
  m.def("read", &read, py::arg("source"),
        "Reads a package from a path (str or os.PathLike) or from a bytes-like object; raises "
        "PackageError when it cannot.");
}

}  // namespace torv_package::python
