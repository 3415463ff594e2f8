#pragma once

// What a Python argument means: a path (str or os.PathLike) or data (bytes-like).

#include <filesystem>
#include <string>

#include <pybind11/pybind11.h>

namespace torv_package::python {

namespace py = pybind11;

inline bool is_path(const py::object& source) {
  return py::isinstance<py::str>(source) || py::hasattr(source, "__fspath__");
}

inline std::filesystem::path as_path(const py::object& source) {
  return py::cast<std::string>(py::module_::import("os").attr("fsdecode")(source));
}

}  // namespace torv_package::python
