## The hand-written part of the Python stubs, torv_package/__init__.pyi: what is not a
## record. The build generates the rest from the schema (tools/codegen/stubs.cpp): a line
## "# @generated enums" (records, views) stands for those classes, with their docstrings,
## and `class Name:` below adds its body to the generated class Name. Lines that start
## with ## are left out.
"""Reads, checks and writes compiled application packages for the tiled device."""

import enum
import inspect
import os
from collections.abc import Iterable, Iterator
from typing import Any, ClassVar, Generic, NoReturn, SupportsIndex, TypeAlias, TypeVar, overload

from _typeshed import ReadableBuffer

# A path, as os.fspath takes it; bytes are data, never a path.
_Path: TypeAlias = str | os.PathLike[str] | os.PathLike[bytes]
# Any bytes-like object (the buffer protocol), a segment's Data among them.
_Bytes: TypeAlias = ReadableBuffer | Data

_T_co = TypeVar("_T_co", covariant=True)

# The metaclass of the extension's classes; it adds nothing that typing sees.
class _pybind11_type(type): ...

__version__: str

def read(source: _Path | _Bytes) -> Application: ...
def open(source: _Path | _Bytes) -> PackageView: ...

class PackageError(Exception):
    kind: str
    message: str
    location: str
    debug: str
    def __init__(self, kind: str, message: str, location: str, debug: str) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class PackageIoError(PackageError, OSError):
    def __init__(
        self,
        kind: str,
        message: str,
        location: str,
        debug: str,
        errno: int | None = None,
        strerror: str | None = None,
        filename: str | None = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

# @generated enums

class Data(metaclass=_pybind11_type):
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, source: _Bytes = b"") -> None: ...
    def __len__(self) -> int: ...
    def __bytes__(self) -> bytes: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[type[Data], tuple[bytes]]: ...
    # The buffer protocol, as type checkers that know PEP 688 see bytes-like objects.
    def __buffer__(self, flags: int, /) -> memoryview: ...

# The package model: each record takes its members by position, in this order, or by
# keyword, and ==, copy, deepcopy and pickle compare and copy it in depth.

# @generated records

class Application:
    def validate(self) -> None: ...
    def write(self, path: _Path) -> None: ...
    def to_bytes(self) -> bytes: ...

# The read-only view of a package in place, from open(): the model's members, read from
# the package when asked for; lists are ListViews and segment data memoryviews.

# @generated views

class PackageView:
    def to_application(self) -> Application: ...

class ListView(Generic[_T_co], metaclass=_pybind11_type):
    def __init__(self, *args: object, **kwargs: object) -> NoReturn: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> _T_co: ...
    @overload
    def __getitem__(self, index: slice, /) -> list[_T_co]: ...
    # Iteration goes through __getitem__ at runtime; declared for type checkers, which
    # know only __iter__.
    def __iter__(self) -> Iterator[_T_co]: ...

class MappedBytes(metaclass=_pybind11_type):
    def __init__(self, *args: object, **kwargs: object) -> NoReturn: ...
