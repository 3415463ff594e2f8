#pragma once

// What a Python argument means: a path (str or os.PathLike) or data (bytes-like). Bytes
// are data, never a path, wherever they are passed.

#include <filesystem>
#include <string>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

namespace torv_package::python {

namespace py = pybind11;

inline bool is_path(const py::handle source) {
  return PyUnicode_Check(source.ptr()) ||
         py::isinstance(source, py::module_::import("os").attr("PathLike"));
}

inline bool is_bytes_like(const py::handle source) { return PyObject_CheckBuffer(source.ptr()) != 0; }

// A path argument: the exact bytes the OS is given, and the path as Python shows it
// (os.fsdecode), which errors name.
struct PathArgument {
  std::filesystem::path path;
  py::str name;
};

// As Python's own file functions take a path: os.fspath once, then os.fsencode, so that a
// str holding surrogate escapes gives back the bytes it came from; an embedded NUL, which
// would cut the path short, raises ValueError.
inline PathArgument as_path(const py::handle source) {
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(source.ptr(), &converted) == 0) throw py::error_already_set();
  const auto encoded = py::reinterpret_steal<py::bytes>(converted);
  const char* bytes = PyBytes_AS_STRING(encoded.ptr());
  const Py_ssize_t size = PyBytes_GET_SIZE(encoded.ptr());
  PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(bytes, size);
  if (decoded == nullptr) throw py::error_already_set();
  return {std::filesystem::path(std::string(bytes, static_cast<std::size_t>(size))),
          py::reinterpret_steal<py::str>(decoded)};
}

// The TypeError for an argument of neither meaning: `function` takes a path, and data too
// when `takes_data`.
inline py::type_error wrong_source(const char* function, bool takes_data, const py::handle source) {
  const char* type = Py_TYPE(source.ptr())->tp_name;
  if (takes_data) {
    return py::type_error(
        fmt::format("{}() takes a path (str or os.PathLike) or a bytes-like object, not {}", function, type));
  }
  if (is_bytes_like(source)) {
    return py::type_error(fmt::format(
        "{}() takes a path (str or os.PathLike), not {}: bytes are data, never a path; "
        "to_bytes() gives the package's bytes",
        function, type));
  }
  return py::type_error(fmt::format("{}() takes a path (str or os.PathLike), not {}", function, type));
}

}  // namespace torv_package::python
