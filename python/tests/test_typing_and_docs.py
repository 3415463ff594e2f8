"""The module as typing and help() see it: its stubs agree with it (mypy's stubtest), and
every public class, function, method and property has a docstring and a signature that
inspect can read."""

import importlib.util
import inspect
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import torv_package as tp

# The stubs, for an extension imported alone: the build generates them (python/stubs.pyi is
# only their hand-written part).
STUB = os.environ.get("TORV_PYTHON_STUBS", "")

# What stubtest may not hold against the stub, each with why.
ALLOWLIST = """
# Iteration goes through __getitem__ at runtime; type checkers know only __iter__.
torv_package.ListView.__iter__
"""
if sys.version_info < (3, 12):
    ALLOWLIST += """
# The buffer protocol is a C slot only before Python 3.12; declared for type checkers.
torv_package.Data.__buffer__
"""


def test_stubs_agree_with_the_module(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    module = pathlib.Path(tp.__file__)
    env = dict(os.environ)
    if module.name == "__init__.py":
        # The package: mypy finds the stub beside it, through py.typed.
        for name in ("__init__.pyi", "py.typed"):
            assert (module.parent / name).is_file(), f"{name} is not installed beside {module}"
        root = module.parent.parent
    else:
        if not os.path.isfile(STUB):
            pytest.skip("the extension is imported alone, and TORV_PYTHON_STUBS names no stubs for it")
        stubs = tmp_path / "stubs"
        stubs.mkdir()
        shutil.copyfile(STUB, stubs / "torv_package.pyi")
        env["MYPYPATH"] = str(stubs)
        root = module.parent
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(root), env.get("PYTHONPATH")]))
    (tmp_path / "allowlist.txt").write_text(ALLOWLIST)
    # Run away from the sources, whose torv_package folder would be imported in its place.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "torv_package", "--allowlist", str(tmp_path / "allowlist.txt")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def public_objects():
    """(name, object) for every public class and function of the module, and every method
    and property the module defines on them."""
    rows = []
    for name in sorted(vars(tp)):
        obj = getattr(tp, name)
        if name.startswith("_") or not (isinstance(obj, type) or callable(obj)):
            continue
        rows.append((name, obj))
        if not isinstance(obj, type):
            continue
        for attr in sorted(vars(obj)):
            member = getattr(obj, attr)
            if isinstance(vars(obj)[attr], property):
                rows.append((f"{name}.{attr}", vars(obj)[attr]))
            elif own(member):
                rows.append((f"{name}.{attr}", member))
    return rows


def own(member):
    """Whether a method is the module's own, dunders included; not one that enum,
    Exception or pybind11 bring."""
    return callable(member) and str(getattr(member, "__module__", "")).startswith("torv_package")


PUBLIC = public_objects()


@pytest.mark.parametrize("name, obj", PUBLIC, ids=[name for name, _ in PUBLIC])
def test_public_objects_have_docstrings_and_signatures(name, obj):
    assert (obj.__doc__ or "").strip(), name
    if isinstance(obj, property):
        return
    if isinstance(obj, type) and not own(obj.__init__):
        # Views and lists are made by the module only; the enums are enum's to call.
        return
    inspect.signature(obj)


def test_public_objects_are_all_found():
    # The walk above sees every kind of object it is to check.
    names = {name for name, _ in PUBLIC}
    assert {"read", "open", "Application.validate", "Application.__init__", "Segment.address",
            "SegmentView.data", "PackageView.to_application", "ListView.__getitem__", "Data.__len__",
            "PackageError", "PackageError.__reduce__", "ProfileStepKind"} <= names


@pytest.mark.parametrize("function, signature", [
    (tp.read, "(source)"),
    (tp.open, "(source, validate=True)"),
    (tp.PackageView.tile_memory, "(self, /, physical)"),
    (tp.Application.validate, "(self, /)"),
    (tp.Application.write, "(self, /, path)"),
    (tp.Application.to_bytes, "(self, /)"),
    (tp.Application().write, "(path)"),
    (tp.Segment.copy, "(self, /)"),
    (tp.Segment.__deepcopy__, "(self, memo, /)"),
    (tp.PackageView.to_application, "(self, /)"),
    (tp.ListView.__getitem__, "(self, index, /)"),
    (tp.Data, "(source=b'')"),
    (tp.Segment, "(address=0, memory_size=0, data=b'', flags=0)"),
    (tp.PackageIoError, "(kind, message, location, debug, errno=None, strerror=None, filename=None)"),
], ids=lambda v: getattr(v, "__qualname__", None) if callable(v) else None)
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature


RECORDS = [obj for _, obj in PUBLIC if isinstance(obj, type) and "__signature__" in vars(obj)]


@pytest.mark.parametrize("record", RECORDS, ids=[r.__name__ for r in RECORDS])
def test_constructor_signatures_show_the_defaults(record):
    made = record()
    parameters = list(inspect.signature(record).parameters.values())
    assert [(p.name, p.default) for p in parameters] == [(p.name, getattr(made, p.name)) for p in parameters]

    # stubtest checks the stub against __init__'s text signature, where a nested record's
    # default, having no literal, is "...".
    def spelt(p):
        return p.name, p.kind, ... if isinstance(p.default, tp.HostExchange) else p.default

    init = list(inspect.signature(record.__init__).parameters.values())
    assert init[0].name == "self"
    assert [spelt(p) for p in init[1:]] == [spelt(p) for p in parameters]
