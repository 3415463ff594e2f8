"""Reads, checks and writes compiled application packages for the tiled device."""

from . import _native
from ._native import *  # noqa: F401,F403
from ._version import __version__

__all__ = sorted(name for name in vars(_native) if not name.startswith("_"))

# The classes and functions live in the extension, but torv_package is their public home:
# reprs, pickles and the type stubs name torv_package.X, which stays importable when the
# extension's name changes.
for _name in __all__:
    _obj = getattr(_native, _name)
    if getattr(_obj, "__module__", None) == _native.__name__:
        _obj.__module__ = __name__
del _name, _obj
