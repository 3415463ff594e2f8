#pragma once

// PackageError in Python: the classes, and raising them from a library error.

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include "kind_name.hpp"
#include "torv_package/error.hpp"

namespace torv_package::python {

namespace py = pybind11;

// _package_error of the module, made when it is initialised. Never released: it lives as
// long as the process, and a reference dropped after the interpreter has gone would crash.
inline PyObject* package_error_factory = nullptr;

// PackageError(kind, message, location, debug); str() is "LOCATION: MESSAGE", or the
// message alone when there is no location.
//
// An Io error is also an OSError, with the library's errno, its text as strerror, and the
// path as filename. Its class derives from PackageIoError and from the OSError subclass
// Python itself raises for that errno (FileNotFoundError, PermissionError, ...), so both
// `except PackageError` and `except FileNotFoundError` catch a missing file. Those
// classes are made the first time an errno of theirs is raised; an errno that Python
// maps to no subclass raises PackageIoError itself.
//
// Errors pickle through _package_error, which also finds the classes made on demand, so
// an error raised in another process arrives as the same class with the same values.
inline const char* const package_error_source = R"(
class PackageError(Exception):
    """A package that cannot be read, validated or written, and why.

    kind: the failure's kind: "Capnp", "Io", "Utf8", "SchemaEnum" or "Invalid".
    message: what failed, in one sentence: for Invalid the rule's own text, for Io what
        failed and why ("cannot open: No such file or directory").
    location: the place in the package, as "tiles[1].segments[2]", or "" for none.
    debug: the library's debug form, such as 'Invalid("application has no tiles")'.

    str() is "LOCATION: MESSAGE", or MESSAGE alone when there is no location.
    """

    def __init__(self, kind, message, location, debug):
        """An error with these four values."""
        super().__init__(f"{location}: {message}" if location else message)
        self.kind = kind
        self.message = message
        self.location = location
        self.debug = debug

    def __reduce__(self):
        """How pickle remakes the error, as the same class with the same values."""
        return (_package_error, (self.kind, self.message, self.location, self.debug), self.__dict__)


class PackageIoError(PackageError, OSError):
    """A PackageError of kind "Io": also an OSError, with errno, strerror and filename.

    An error raised for an errno that Python gives an OSError subclass of its own is an
    instance of that subclass too: `except FileNotFoundError` catches a missing package.
    """

    def __init__(self, kind, message, location, debug, errno=None, strerror=None, filename=None):
        """An error with these values; filename is the path as given, or None."""
        PackageError.__init__(self, kind, message, location, debug)
        self.errno = errno
        self.strerror = strerror
        self.filename = filename

    # PackageError's form, not OSError's "[Errno N] ...".
    __str__ = Exception.__str__

    def __reduce__(self):
        """How pickle remakes the error, as the same class with the same values."""
        return (_package_error,
                (self.kind, self.message, self.location, self.debug, self.errno, self.strerror, self.filename),
                self.__dict__)


_io_error_classes = {OSError: PackageIoError}


def _package_error(kind, message, location, debug, errno=None, strerror=None, filename=None):
    if kind != "Io":
        return PackageError(kind, message, location, debug)
    # OSError's constructor picks the subclass for an errno.
    base = type(OSError(errno, strerror)) if errno is not None else OSError
    cls = _io_error_classes.get(base)
    if cls is None:
        name = "Package" + base.__name__
        cls = type(name, (PackageIoError, base), {
            "__module__": PackageIoError.__module__,
            "__qualname__": name,
            "__doc__": f"A PackageIoError that is also a {base.__name__}.",
        })
        _io_error_classes[base] = cls
    return cls(kind, message, location, debug, errno, strerror, filename)
)";

// The library's text as str. Text quoted from a damaged package may hold bytes that are
// not UTF-8; each shows as \xNN, the rest is kept as it is.
inline py::str text_of(std::string_view text) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

// `error` as a PackageError object; an Io error with `filename` (a str, or None where no
// path was given) as its path.
inline py::object error_object(const PackageError& error, const py::handle filename = py::none()) {
  const py::handle factory(package_error_factory);
  if (const auto* io = error.io()) {
    return factory(kind_name(error.kind()), text_of(error.message()), text_of(error.location()),
                   text_of(error.debug_string()), io->value(), text_of(io->message()), filename);
  }
  return factory(kind_name(error.kind()), text_of(error.message()), text_of(error.location()),
                 text_of(error.debug_string()));
}

// Raises `error` as error_object() makes it.
[[noreturn]] inline void raise(const PackageError& error, const py::handle filename = py::none()) {
  const py::object instance = error_object(error, filename);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
  throw py::error_already_set();
}

template <class T>
T value_or_raise(Result<T>&& result, const py::handle filename = py::none()) {
  if (!result) raise(result.error(), filename);
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

inline void define_package_error(py::module_& m) {
  py::exec(package_error_source, m.attr("__dict__"));
  package_error_factory = py::object(m.attr("_package_error")).release().ptr();
}

}  // namespace torv_package::python
