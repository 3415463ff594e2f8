"""PackageError as Python code meets it (text that is not UTF-8, Io errors that are
OSErrors, pickling across processes) and what a path argument may be."""

import concurrent.futures
import errno
import os
import pathlib
import pickle
import struct

import pytest

import torv_package as tp

SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]


class FsPath:
    """An os.PathLike that is not a pathlib.Path: __fspath__ gives exactly `value`."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


def small_package():
    return tp.Application(
        compiler_version="paths 1.0",
        tiles=[tp.TileImage(physical_tile=0, segments=[tp.Segment(address=0x50000, memory_size=16, data=b"ab")])],
    )


def sample_with_compiler_version_ending_in(byte):
    """The sample's bytes with the NUL that ends its compiler version replaced by `byte`."""
    raw = bytearray(pathlib.Path(SAMPLE).read_bytes())
    text = b"sample-compiler 2.3.0\0"
    assert raw.count(text) == 1
    raw[raw.index(text) + len(text) - 1] = byte
    return bytes(raw)


# The library's text for such a package, and its debug form; @ stands for the byte.
UNTERMINATED = "expected cptr[unboundedSize] == '\\0' [@ == \0]; Message contains text that is not NUL-terminated."
UNTERMINATED_DEBUG = (r'''Capnp(Exception { kind: Failed, description: "expected cptr[unboundedSize] == '\\0' '''
                      r'''[@ == \0]; Message contains text that is not NUL-terminated." })''')


@pytest.mark.parametrize("byte, in_message, in_debug", [
    (0xFF, "\\xff", "\\x{ff}"),
    (0x80, "\\x80", "\\x{80}"),
    (0xC3, "\\xc3", "\\x{c3}"),  # a lead byte whose sequence never comes
    (0x41, "A", "A"),  # UTF-8: as it is
])
def test_error_text_that_is_not_utf8_shows_its_bytes_escaped(byte, in_message, in_debug):
    raw = sample_with_compiler_version_ending_in(byte)
    debug = UNTERMINATED_DEBUG.replace("@", in_debug)
    for load in (tp.read, tp.open):
        with pytest.raises(tp.PackageError) as caught:
            load(raw)
        e = caught.value
        assert (e.kind, e.message, e.location, e.debug, str(e)) == (
            "Capnp", UNTERMINATED.replace("@", in_message), "compiler_version", debug,
            "compiler_version: " + UNTERMINATED.replace("@", in_message)), load


@pytest.fixture
def odd_name(tmp_path):
    """A file name that is not UTF-8, as bytes."""
    return os.fsencode(tmp_path) + b"/pkg-\xff\xfe.torv"


@pytest.mark.parametrize("form", [
    pytest.param(os.fsdecode, id="str with surrogate escapes"),
    pytest.param(lambda b: pathlib.Path(os.fsdecode(b)), id="pathlib.Path"),
    pytest.param(lambda b: FsPath(os.fsdecode(b)), id="PathLike giving str"),
    pytest.param(FsPath, id="PathLike giving bytes"),
])
def test_paths_that_are_not_utf8_reach_the_file_as_their_bytes(form, odd_name, tmp_path):
    app = small_package()
    app.write(form(odd_name))
    assert os.listdir(os.fsencode(tmp_path)) == [os.path.basename(odd_name)]
    with open(odd_name, "rb") as f:
        assert f.read() == app.to_bytes()
    assert tp.read(form(odd_name)) == app
    assert tp.open(form(odd_name)).to_application() == app

    missing = os.path.dirname(odd_name) + b"/no-\xff/p.torv"  # even write cannot create it
    for call in (tp.read, tp.open, small_package().write):
        with pytest.raises(FileNotFoundError) as caught:
            call(form(missing))
        assert caught.value.filename == os.fsdecode(missing), call


@pytest.mark.parametrize("form", [
    pytest.param(lambda p: p + "\0.torv", id="str"),
    pytest.param(lambda p: pathlib.PurePath(p + "\0.torv"), id="pathlib.PurePath"),
    pytest.param(lambda p: FsPath(os.fsencode(p) + b"\0.torv"), id="PathLike giving bytes"),
])
def test_an_embedded_nul_is_refused_as_open_refuses_it(form, tmp_path):
    cut_short = str(tmp_path / "p")  # where the path would end at its NUL
    pathlib.Path(cut_short).write_bytes(pathlib.Path(SAMPLE).read_bytes())
    with pytest.raises(ValueError, match="^embedded null byte$"):
        open(form(cut_short), "rb")
    for call in (tp.read, tp.open, small_package().write):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call(form(cut_short))
    assert pathlib.Path(cut_short).read_bytes() == pathlib.Path(SAMPLE).read_bytes()
    assert os.listdir(tmp_path) == ["p"]


READ = "read() takes a path (str or os.PathLike) or a bytes-like object, not {}"
OPEN = "open() takes a path (str or os.PathLike) or a bytes-like object, not {}"
WRITE_DATA = ("write() takes a path (str or os.PathLike), not {}: bytes are data, never a path; "
              "to_bytes() gives the package's bytes")
WRITE = "write() takes a path (str or os.PathLike), not {}"


@pytest.mark.parametrize("call, argument, message", [
    (lambda a: small_package().write(a), b"p.torv", WRITE_DATA.format("bytes")),
    (lambda a: small_package().write(a), bytearray(b"p.torv"), WRITE_DATA.format("bytearray")),
    (lambda a: small_package().write(a), memoryview(b"p.torv"), WRITE_DATA.format("memoryview")),
    (lambda a: small_package().write(a), 3, WRITE.format("int")),
    (lambda a: small_package().write(a), None, WRITE.format("NoneType")),
    (tp.read, 3, READ.format("int")),
    (tp.read, ["p.torv"], READ.format("list")),
    (tp.open, 3.5, OPEN.format("float")),
    (tp.open, None, OPEN.format("NoneType")),
    (tp.read, FsPath(3), "expected FsPath.__fspath__() to return str or bytes, not int"),
    (lambda a: small_package().write(a), FsPath(None), "expected FsPath.__fspath__() to return str or bytes, not NoneType"),
])
def test_one_meaning_per_argument_type(call, argument, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as caught:
        call(argument)
    assert str(caught.value) == message
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("call, name, code, oserror_class, failed", [
    ("read", "missing.torv", errno.ENOENT, FileNotFoundError, "open"),
    ("open", "missing.torv", errno.ENOENT, FileNotFoundError, "open"),
    ("write", "no/p.torv", errno.ENOENT, FileNotFoundError, "write"),
    ("read", ".", errno.EISDIR, IsADirectoryError, "read"),
    ("write", ".", errno.EISDIR, IsADirectoryError, "write"),
    ("write", "file/p.torv", errno.ENOTDIR, NotADirectoryError, "write"),
    ("open", "loop", errno.ELOOP, OSError, "open"),  # Python has no subclass for ELOOP
    ("write", "fifo", errno.EINVAL, OSError, "write"),
])
def test_io_errors_are_oserrors_of_their_errno(call, name, code, oserror_class, failed, tmp_path):
    (tmp_path / "file").write_bytes(b"")
    (tmp_path / "loop").symlink_to("loop")
    os.mkfifo(tmp_path / "fifo")
    path = tmp_path / name
    with pytest.raises(OSError) as caught:
        {"read": tp.read, "open": tp.open, "write": small_package().write}[call](path)
    e = caught.value
    assert isinstance(e, tp.PackageIoError) and isinstance(e, tp.PackageError)
    if oserror_class is OSError:
        assert type(e) is tp.PackageIoError
    else:
        assert type(e).__bases__ == (tp.PackageIoError, oserror_class)
    strerror = os.strerror(code)
    assert (e.kind, e.location, e.message) == ("Io", "", f"cannot {failed}: {strerror}")
    assert (e.errno, e.strerror, e.filename) == (code, strerror, str(path))
    assert str(e) == e.message
    assert e.debug == f'Io(Os {{ code: {code}, message: "{strerror}" }})'


def leaving_tile_memory():
    """Bytes of a package whose segment ends past tile memory."""
    good = small_package().to_bytes()
    words = struct.pack("<II", 0x50000, 16)
    assert good.count(words) == 1
    return good.replace(words, struct.pack("<II", 0x50000, 0x100000))


def error_facts(e):
    names = ("kind", "message", "location", "debug", "errno", "strerror", "filename")
    return (type(e), str(e)) + tuple(getattr(e, name, "absent") for name in names)


def read_in_worker(source):
    tp.read(source)


@pytest.fixture(scope="module")
def worker():
    with concurrent.futures.ProcessPoolExecutor(max_workers=1) as pool:
        yield pool


@pytest.mark.parametrize("source, kind, oserror_class", [
    ("missing file", "Io", FileNotFoundError),
    ("link loop", "Io", OSError),
    ("text not UTF-8", "Capnp", None),
    ("segment outside tile memory", "Invalid", None),
])
def test_errors_pickle_and_cross_processes(source, kind, oserror_class, tmp_path, worker):
    (tmp_path / "loop").symlink_to("loop")
    argument = {
        "missing file": str(tmp_path / "missing.torv"),
        "link loop": str(tmp_path / "loop"),
        "text not UTF-8": sample_with_compiler_version_ending_in(0xFF),
        "segment outside tile memory": leaving_tile_memory(),
    }[source]
    with pytest.raises(tp.PackageError) as caught:
        tp.read(argument)
    e = caught.value
    assert e.kind == kind
    assert isinstance(e, OSError) == (oserror_class is not None)
    if oserror_class is not None:
        assert isinstance(e, oserror_class) and e.filename == argument
    if kind == "Invalid":
        assert e.location == "tiles[0].segments[0]"
    e.add_note("kept")
    again = pickle.loads(pickle.dumps(e))
    assert error_facts(again) == error_facts(e)
    assert again.__notes__ == ["kept"]

    with pytest.raises(tp.PackageError) as remote:
        worker.submit(read_in_worker, argument).result()
    assert error_facts(remote.value) == error_facts(e)
