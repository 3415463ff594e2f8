// The torv_package Python module: reading, the model, validating and writing, and
// read-only views of a package in place.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <fmt/format.h>
#include <kj/io.h>
#include <pybind11/pybind11.h>

#include "classes.hpp"
#include "errors.hpp"
#include "lookups.hpp"
#include "paths.hpp"
#include "torv_package/application.hpp"
#include "torv_package/schema_table.hpp"
#include "torv_package/view.hpp"
#include "validate.hpp"
#include "views.hpp"
#include "writer.hpp"

namespace torv_package::python {
namespace {

Object<Application> read(const py::object& source) {
  if (is_path(source)) {
    const PathArgument path = as_path(source);
    Result<Application> result = [&] {
      py::gil_scoped_release released;
      return Application::read_file(path.path);
    }();
    return Object<Application>{value_or_raise(std::move(result), path.name), {}};
  }
  Py_buffer view;
  if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_CONTIG_RO) != 0) {
    PyErr_Clear();
    throw wrong_source("read", true, source);
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
//
// Without `validate`, the view is given whatever the consistency rules find (faults()
// lists them); what reading finds still raises.
ViewObject<Application> open(const py::object& source, bool validate) {
  // Stops the rules at their first fault: faults() runs them again when asked.
  class Unchecked final : public FaultSink {
    bool fault(PackageError) override { return false; }
  } unchecked;
  py::object filename = py::none();
  Result<PackageView> result = [&] {
    if (is_path(source)) {
      const PathArgument path = as_path(source);
      filename = path.name;
      py::gil_scoped_release released;
      if (validate) return PackageView::open(path.path);
      ReadDetails details;
      return PackageView::open(path.path, details, unchecked);
    }
    auto* buffer = new Py_buffer;
    if (PyObject_GetBuffer(source.ptr(), buffer, PyBUF_CONTIG_RO) != 0) {
      delete buffer;
      PyErr_Clear();
      throw wrong_source("open", true, source);
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
    if (owner->readonly == 0) {
      std::vector<std::byte> copy(bytes.begin(), bytes.end());
      return validate ? PackageView::from_bytes(std::move(copy)) : PackageView::from_bytes(std::move(copy), unchecked);
    }
    return validate ? PackageView::from_bytes(bytes, owner) : PackageView::from_bytes(bytes, owner, unchecked);
  }();
  auto package = std::make_shared<const PackageView>(value_or_raise(std::move(result), filename));
  const View<Application>& root = *package;
  return ViewObject<Application>{std::move(package), root};
}

// The package's message, built with the lock released: nothing in it is Python's.
BuiltMessage built(const Application& model, const DataHeld& held) {
  Result<BuiltMessage> message = [&] {
    py::gil_scoped_release released;
    return build_message(model, held.data);
  }();
  return value_or_raise(std::move(message));
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "Reads, checks and writes compiled application packages for the tiled device.";
  // Each docstring below starts with its function's text signature, "name(self, arg, /)"
  // and a "--" line, from which CPython makes __text_signature__ and inspect.signature
  // works; pybind11's own "name(arg0: type) -> type" line would hide it.
  py::options options;
  options.disable_function_signatures();

  define_package_error(m);

  for_each_enum([&](auto e) { define_enum<typename decltype(e)::type>(m); });

  py::class_<Data>(m, "Data", py::buffer_protocol(),
                   "A segment's bytes, seen through the buffer protocol without copies; bytes(d) and "
                   "memoryview(d) read them, len(d) counts them, and a Data equals any bytes-like object "
                   "with the same bytes.")
      .def_buffer([](Data& d) {
        return py::buffer_info(d.bytes.data(), 1, py::format_descriptor<std::uint8_t>::format(), 1,
                               {static_cast<py::ssize_t>(d.bytes.size())}, {1});
      })
      .def(py::init([](const py::buffer& source) {
             const py::buffer_info info = source.request();
             if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1) {
               throw py::type_error("Data() takes a contiguous bytes-like object");
             }
             const auto* begin = static_cast<const std::uint8_t*>(info.ptr);
             return Data{std::vector<std::uint8_t>(begin, begin + info.size)};
           }),
           py::arg("source") = py::bytes(""),
           "__init__(self, /, source=b'')\n--\n\nA copy of the bytes of a bytes-like object.")
      .def(
          "__reduce__",
          [](const py::object& self) {
            const Data& d = py::cast<const Data&>(self);
            return py::make_tuple(
                self.get_type(),
                py::make_tuple(py::bytes(reinterpret_cast<const char*>(d.bytes.data()), d.bytes.size())));
          },
          "__reduce__(self, /)\n--\n\nThe class and the bytes, for pickle.")
      .def(
          "__len__", [](const Data& d) { return d.bytes.size(); }, "__len__(self, /)\n--\n\nThe number of bytes.")
      .def(
          "__bytes__",
          [](const Data& d) { return py::bytes(reinterpret_cast<const char*>(d.bytes.data()), d.bytes.size()); },
          "__bytes__(self, /)\n--\n\nA copy of the bytes.")
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
      }, "__eq__(self, other, /)\n--\n\nWhether `other` is a bytes-like object with the same bytes.")
      .def(
          "__repr__", [](const Data& d) { return fmt::format("<Data: {} bytes>", d.bytes.size()); },
          "__repr__(self, /)\n--\n\nThe number of bytes, not the bytes.");
  m.attr("Data").attr("__hash__") = py::none();

  // Every record, its class and docstrings made from the schema; Application's, with the
  // operations of its own, last.
  for_each_record([&](auto record) {
    using T = typename decltype(record)::type;
    if constexpr (!std::is_same_v<T, Application>) bind_record<T>(m);
  });
  bind_record<Application>(m)
      .def("validate",
           [](const py::object& app) {
             Application model;
             DataHeld held;
             copy_package(model, app, held);
             Result<void> valid = [&] {
               py::gil_scoped_release released;
               return validate_model(model, held.data);
             }();
             value_or_raise(std::move(valid));
           },
           "validate(self, /)\n--\n\n"
           "Checks the package's consistency; raises PackageError naming the place of the first fault.")
      .def("write",
           [](const py::object& app, const py::object& path) {
             if (!is_path(path)) throw wrong_source("write", false, path);
             const PathArgument target = as_path(path);
             Application model;
             DataHeld held;
             copy_package(model, app, held);
             BuiltMessage message = built(model, held);
             Result<void> written = [&] {
               py::gil_scoped_release released;
               return write_built_file(message, target.path);
             }();
             value_or_raise(std::move(written), target.name);
           },
           py::arg("path"),
           "write(self, /, path)\n--\n\n"
           "Validates and writes the package to `path` (str or os.PathLike), replacing any file "
           "there only once the new one is complete: a write that fails leaves the old file as it "
           "was, except a failed sync of the folder after the replacement, which raises with the "
           "new package in place.")
      .def("to_bytes",
           [](const py::object& app) {
             Application model;
             DataHeld held;
             copy_package(model, app, held);
             BuiltMessage message = built(model, held);
             kj::VectorOutputStream out;
             {
               py::gil_scoped_release released;
               message.write_to(out);
             }
             return py::bytes(reinterpret_cast<const char*>(out.getArray().begin()), out.getArray().size());
           },
           "to_bytes(self, /)\n--\n\n"
           "Validates the package and returns it as bytes, which read() takes back.")
      .def("tile", &model_tile, py::arg("physical"),
           "tile(self, /, physical)\n--\n\n"
           "The tile image in `tiles` with this physical number (the first, should the list repeat it), or "
           "None. Scans the list as it is now.")
      .def("binding", &model_binding, py::arg("name"),
           "binding(self, /, name)\n--\n\n"
           "The binding with this name in `inputs`, then `outputs`, then `weights`, or None.")
      .def("tile_memory", &model_tile_memory, py::arg("physical"),
           "tile_memory(self, /, physical)\n--\n\n"
           "The tile's memory as a loader leaves it: 0x9c000 bytes for 0x4c000..0xe8000, each segment's "
           "data at its address and zero elsewhere. Raises PackageError (\"package has no tile N\") for a "
           "tile the package lacks.")
      .def("binding_bytes", &model_binding_bytes, py::arg("name"),
           "binding_bytes(self, /, name)\n--\n\n"
           "The binding's bytes: its slices in stored order, each `size` bytes of its tile's memory from "
           "`tile_address`. Raises PackageError for a name no binding has, and for slices adding up to "
           "more than the package may expand to.");

  bind_view_support(m);
  for_each_record([&](auto record) {
    using T = typename decltype(record)::type;
    if constexpr (!std::is_same_v<T, Application>) bind_view<T>(m);
  });
  bind_view<Application>(m)
      .def("to_application",
           [](const ViewObject<Application>& o) {
             Result<Application> result = [&] {
               py::gil_scoped_release released;
               return o.package->to_application();
             }();
             return Object<Application>{value_or_raise(std::move(result)), {}};
           },
           "to_application(self, /)\n--\n\n"
           "The editable model, equal to read() of the same package.")
      .def("tile", &view_tile, py::arg("physical"),
           "tile(self, /, physical)\n--\n\n"
           "The view of the tile image with this physical number, or None; found through an index sorted "
           "on the first lookup.")
      .def("binding", &view_binding, py::arg("name"),
           "binding(self, /, name)\n--\n\n"
           "The view of the binding with this name among the inputs, outputs and weights, or None.")
      .def("tile_memory", &view_tile_memory, py::arg("physical"),
           "tile_memory(self, /, physical)\n--\n\n"
           "The tile's memory as a loader leaves it, as Application.tile_memory gives it.")
      .def("binding_bytes", &view_binding_bytes, py::arg("name"),
           "binding_bytes(self, /, name)\n--\n\n"
           "The binding's bytes, as Application.binding_bytes gives them; refused past the package's "
           "memory budget.")
      .def("faults", &view_faults,
           "faults(self, /)\n--\n\n"
           "Every fault the consistency rules find, as PackageErrors in rule order; empty for a valid "
           "package. A view from open(..., validate=False) may have some.");

  m.def("open", &open, py::arg("source"), py::arg("validate") = true,
        "open(source, validate=True)\n--\n\n"
        "Opens a package read-only in place from a path (str or os.PathLike; the file is mapped) "
        "or from a bytes-like object, validated as read() validates it; raises PackageError "
        "when it cannot. Segment data are memoryviews of the file, and the file stays mapped "
        "while any object taken from the view lives. With validate=False the package is opened "
        "whatever the consistency rules find, and faults() lists what they find; what reading "
        "finds (framing, header, UTF-8, enums, the memory budget) still raises.");
  m.def("read", &read, py::arg("source"),
        "read(source)\n--\n\n"
        "Reads a package from a path (str or os.PathLike) or from a bytes-like object; raises "
        "PackageError when it cannot.");
}

}  // namespace torv_package::python
