#pragma once

// PackageError in Python: the class, and raising it from a library error.

#include <string>
#include <type_traits>
#include <utility>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include "torv_package/error.hpp"

namespace torv_package::python {

namespace py = pybind11;

// Made by define_package_error when the module is initialised.
inline py::object package_error_class;

// PackageError(kind, message, location, debug); str() is "at LOCATION: DEBUG", or the
// debug form alone when there is no location.
inline const char* const package_error_source = R"(
class PackageError(Exception):
    """A package that cannot be read, validated or written, and why."""

    def __init__(self, kind, message, location, debug):
        super().__init__(f"at {location}: {debug}" if location else debug)
        self.kind = kind
        self.message = message
        self.location = location
        self.debug = debug
)";

inline std::string kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Capnp: return "Capnp";
    case ErrorKind::Io: return "Io";
    case ErrorKind::Utf8: return "Utf8";
    case ErrorKind::SchemaEnum: return "SchemaEnum";
    case ErrorKind::Invalid: return "Invalid";
  }
  return "Invalid";
}

// For Invalid its message, for Capnp and Io their own description, for the others the
// library's sentence.
inline std::string message_of(const PackageError& error) {
  if (const auto* invalid = error.invalid_message()) return *invalid;
  if (const auto* capnp = error.capnp()) return capnp->getDescription().cStr();
  if (const auto* io = error.io()) return io->message();
  return error.message();
}

[[noreturn]] inline void raise(const PackageError& error) {
  const py::object instance = package_error_class(kind_name(error.kind()), message_of(error),
                                                  std::string(error.location()), error.debug_string());
  PyErr_SetObject(package_error_class.ptr(), instance.ptr());
  throw py::error_already_set();
}

template <class T>
T value_or_raise(Result<T>&& result) {
  if (!result) raise(result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

inline void define_package_error(py::module_& m) {
  py::exec(package_error_source, m.attr("__dict__"));
  package_error_class = m.attr("PackageError");
}

}  // namespace torv_package::python
