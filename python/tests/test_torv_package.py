"""The Python module over the package library: reading, errors, building and writing,
segment data without copies, and the rule that list changes reach the package."""

import gc
import operator
import os
import pathlib
import struct
import sys

import numpy
import pytest

import torv_package as tp

SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]


def segment(address, size, data=b""):
    return tp.Segment(address=address, memory_size=size, data=data)


def package():
    """A small valid package: tile 1's third segment ends exactly at the end of tile memory."""
    return tp.Application(
        compiler_version="py-test 1.0",
        tiles=[
            tp.TileImage(physical_tile=0, segments=[segment(0x50000, 16, bytes(range(16)))]),
            tp.TileImage(physical_tile=1, segments=[segment(0x4C000, 8), segment(0x60000, 8),
                                                   segment(0xE7000, 0x1000, b"\xff" * 8)]),
        ],
        inputs=[tp.Binding(name="image", dtype="f16", shape=[1, 3],
                           slices=[tp.RegionSlice(tile=0, tile_address=0x60000, size=64)])],
        profile_tiles=[tp.TileProfilePlan(physical_tile=1, steps=[
            tp.ProfileStep(local_index=0, kind=tp.ProfileStepKind.Idle, metadata=[tp.ProfileMetadata(name="m", value="é")])])],
    )


@pytest.fixture
def leaving_tile_memory():
    """Bytes of a package whose second tile's third segment ends past tile memory."""
    good = package().to_bytes()
    words = struct.pack("<II", 0xE7000, 0x1000)
    assert good.count(words) == 1
    return good.replace(words, struct.pack("<II", 0xE7000, 0x2000))


def test_reads_by_path_and_from_bytes():
    by_str = tp.read(SAMPLE)
    assert by_str == tp.read(pathlib.Path(SAMPLE))
    raw = pathlib.Path(SAMPLE).read_bytes()
    for source in (raw, bytearray(raw), memoryview(raw)):
        assert tp.read(source) == by_str
    assert by_str.compiler_version == "sample-compiler 2.3.0"
    assert [t.physical_tile for t in by_str.tiles] == [0, 1, 1471]


def test_errors_carry_kind_location_and_debug_form(leaving_tile_memory, tmp_path):
    with pytest.raises(tp.PackageError) as invalid:
        tp.read(leaving_tile_memory)
    e = invalid.value
    debug = 'Invalid("invalid segment on tile 1: address=0xe7000 end=0xe9000 memory_size=8192 data_size=8")'
    assert (e.kind, e.location, e.debug) == ("Invalid", "tiles[1].segments[2]", debug)
    assert e.message == "invalid segment on tile 1: address=0xe7000 end=0xe9000 memory_size=8192 data_size=8"
    assert str(e) == "tiles[1].segments[2]: " + e.message

    with pytest.raises(tp.PackageError) as missing:
        tp.read(tmp_path / "missing.torv")
    assert (missing.value.kind, missing.value.location) == ("Io", "")
    assert missing.value.debug == 'Io(Os { code: 2, message: "No such file or directory" })'
    assert str(missing.value) == missing.value.message == "cannot open: No such file or directory"

    with pytest.raises(tp.PackageError) as framing:
        tp.read(b"\0" * 4)
    assert framing.value.kind == "Capnp"
    with pytest.raises(TypeError):
        tp.read(42)


def test_builds_writes_and_reads_back(tmp_path):
    app = package()
    target = tmp_path / "p.torv"
    app.write(target)
    assert tp.read(target) == app
    assert target.read_bytes() == app.to_bytes()

    before = target.read_bytes()
    app.tiles[1].segments[2].memory_size = 0x2000
    with pytest.raises(tp.PackageError) as refused:
        app.write(str(target))
    assert refused.value.location == "tiles[1].segments[2]"
    assert target.read_bytes() == before
    assert os.listdir(tmp_path) == ["p.torv"]


def test_defaults_and_repr():
    assert tp.Application().compiler_version == "0.1.0"
    assert tp.HostCall().invocations == 1 and tp.Binding().shape == []
    big = tp.Segment(address=0x50000, memory_size=1 << 20, data=bytes(1 << 20))
    assert repr(big) == "Segment(address=327680, memory_size=1048576, data=<1048576 bytes>, flags=0)"
    assert len(repr(tp.read(SAMPLE))) < 400


def test_segment_data_is_shared_not_copied():
    app = package()
    seg = app.tiles[0].segments[0]
    words = numpy.frombuffer(seg.data, dtype="<u4")
    assert words[0] == 0x03020100
    words[0] = 0xDEADBEEF  # a view of the model's own bytes
    assert bytes(seg.data)[:4] == b"\xef\xbe\xad\xde"
    assert tp.read(app.to_bytes()).tiles[0].segments[0].data == seg.data

    view = memoryview(app.tiles[0].segments[0].data)
    del app, seg, words
    gc.collect()
    assert view.tobytes()[4:8] == bytes([4, 5, 6, 7])  # the view keeps the bytes alive

    replaced = package()
    replaced.tiles[0].segments[0].data = numpy.arange(4, dtype="<u4")
    assert bytes(replaced.tiles[0].segments[0].data) == bytes([0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0])


def test_list_changes_reach_the_package():
    app = package()
    app.tiles.append(tp.TileImage(physical_tile=7))
    app.tiles[1].segments.pop()
    app.inputs[0].shape.append(4)
    app.host_exchange.startup_mark = 9
    back = tp.read(app.to_bytes())
    assert [t.physical_tile for t in back.tiles] == [0, 1, 7]
    assert len(back.tiles[1].segments) == 2
    assert back.inputs[0].shape == [1, 3, 4]
    assert back.host_exchange.startup_mark == 9

    tiles = app.tiles
    app.tiles = tiles[:1]
    tiles.append(tp.TileImage(physical_tile=8))  # the old list is no longer the package's
    assert [t.physical_tile for t in app.tiles] == [0]

    shared = app.tiles[0]
    app.tiles.append(shared)  # one object twice is legal; the package holds it twice
    with pytest.raises(tp.PackageError, match="duplicate physical tile 0"):
        app.validate()


@pytest.mark.parametrize("change, error, text", [
    (lambda a: a.tiles.append("tile"), TypeError, "tiles[2]: expected TileImage, got str"),
    (lambda a: a.inputs[0].shape.append(-1), TypeError, "inputs[0].shape[2]: expected an integer"),
    (lambda a: setattr(a.tiles[0], "physical_tile", 1 << 32), ValueError, "out of range"),
    (lambda a: setattr(a.tiles[0], "physical_tile", 1.0), TypeError, "expected an integer"),
    (lambda a: setattr(a, "compiler_version", b"x"), TypeError, "expected str"),
    (lambda a: tp.TileImage(tile=1), TypeError, "unexpected keyword argument 'tile'"),
])
def test_wrong_values_are_refused_with_their_place(change, error, text):
    app = package()
    with pytest.raises(error, match=text.replace("[", r"\[").replace("]", r"\]")):
        change(app)
        app.to_bytes()
    assert len(app.tiles) in (2, 3)


def rebuilt(value):
    """`value` built again through the constructors from what its attributes show."""
    if isinstance(value, list):
        return [rebuilt(item) for item in value]
    if isinstance(value, tp.Data):
        return bytes(value)
    cls = type(value)
    if cls.__module__ != tp.__name__ or not hasattr(cls, "copy"):
        return value  # a number, text or enum member
    names = [name for name in dir(cls) if isinstance(getattr(cls, name), property)]
    return cls(**{name: rebuilt(getattr(value, name)) for name in names})


def test_every_member_is_an_attribute():
    # The sample holds a value other than the default in every member of every record, so
    # a member that Python cannot see or set is lost on the way.
    sample = tp.read(SAMPLE)
    assert rebuilt(sample) == sample


# --- torv_package.open: the package read in place ----------------------------------------

def properties(cls):
    return sorted(name for name in dir(cls) if isinstance(getattr(cls, name), property))


def assert_same(view, model, place="package"):
    """Every attribute of `view`, walked down, equals that of the model `model`."""
    if isinstance(model, list):
        assert isinstance(view, tp.ListView) and len(view) == len(model), place
        for i, (v, m) in enumerate(zip(view, model, strict=True)):
            assert_same(v, m, f"{place}[{i}]")
    elif isinstance(model, tp.Data):
        assert isinstance(view, memoryview) and view.readonly, place
        assert view.tobytes() == bytes(model), place
    elif type(model).__module__ == tp.__name__ and hasattr(type(model), "copy"):
        assert type(view).__name__ in (type(model).__name__ + "View", "PackageView"), place
        assert properties(type(view)) == properties(type(model)), place
        for name in properties(type(model)):
            assert_same(getattr(view, name), getattr(model, name), f"{place}.{name}")
    else:
        assert type(view) is type(model) and view == model, place


@pytest.mark.parametrize("source", [str, pathlib.Path, lambda p: pathlib.Path(p).read_bytes()])
def test_open_shows_what_read_reads(source):
    view = tp.open(source(SAMPLE))
    assert_same(view, tp.read(SAMPLE))
    app = view.to_application()
    assert app == tp.read(SAMPLE)
    app.tiles[0].segments[0].data = b"changed"  # the model is the caller's own
    assert view.tiles[0].segments[0].data.tobytes() != b"changed"


@pytest.mark.parametrize("look, expected", [
    (lambda v: v.tiles[-1].physical_tile, 1471),
    (lambda v: v.tiles[-3].physical_tile, 0),
    (lambda v: [t.physical_tile for t in v.tiles[::-1]], [1471, 1, 0]),
    (lambda v: [t.physical_tile for t in v.tiles[1:]], [1, 1471]),
    (lambda v: list(v.host_exchange.attach_order), [2, 1, 2]),
    (lambda v: v.tiles[3], IndexError),
    (lambda v: v.tiles[-4], IndexError),
    (lambda v: operator.setitem(v.tiles, 0, v.tiles[1]), TypeError),
    (lambda v: setattr(v, "compiler_version", "x"), AttributeError),
    (lambda v: operator.setitem(v.tiles[0].segments[0].data, 0, 1), TypeError),
    (lambda v: tp.open(42), TypeError),
])
def test_view_lists_and_records_are_read_only_sequences(look, expected):
    view = tp.open(SAMPLE)
    if isinstance(expected, type):
        with pytest.raises(expected):
            look(view)
    else:
        assert look(view) == expected


def mapped_ranges(path):
    with open("/proc/self/maps") as maps:
        rows = [line.split() for line in maps]
    return [tuple(int(x, 16) for x in row[0].split("-")) for row in rows if row[-1] == str(path)]


@pytest.mark.parametrize("kind", ["path", "bytes"])
def test_segment_data_outlives_the_view_in_place(kind, tmp_path):
    path = tmp_path / "sample.torv"
    raw = pathlib.Path(SAMPLE).read_bytes()
    path.write_bytes(raw)
    expected = bytes(tp.read(path).tiles[1].segments[1].data)
    assert len(expected) >= 8
    references = sys.getrefcount(raw)
    if kind == "path":
        source, places = path, lambda: mapped_ranges(path)
    else:
        start = numpy.frombuffer(raw, dtype="u1").ctypes.data
        source, places = raw, lambda: [(start, start + len(raw))]

    view = tp.open(source)
    tiles = view.tiles
    segment = tiles[1].segments[1]
    data = segment.data
    part = data[2:6]
    words = numpy.frombuffer(segment.data, dtype="u1")
    assert not words.flags.writeable
    address = words.ctypes.data  # in the file's mapping or the bytes given: nothing was copied
    assert any(start <= address < end for start, end in places())
    assert numpy.frombuffer(segment.data, dtype="u1").ctypes.data == address

    del source, view, tiles, segment
    gc.collect()
    assert bytes(data) == expected and part.tobytes() == expected[2:6]
    assert words.tobytes() == expected
    del data, words
    gc.collect()
    assert bytes(part) == expected[2:6]
    del part
    gc.collect()
    # The last holder gone, the file is unmapped and the bytes given are let go.
    assert mapped_ranges(path) == [] and sys.getrefcount(raw) == references


def test_a_writable_source_is_copied():
    raw = bytearray(pathlib.Path(SAMPLE).read_bytes())
    view = tp.open(raw)
    before = view.tiles[1].segments[1].data.tobytes()
    raw[:] = bytes(len(raw))
    assert view.tiles[1].segments[1].data.tobytes() == before


def corrupt_text(raw):
    assert raw.count(b"py-test") == 1
    return raw.replace(b"py-test", b"py\xfftest")


@pytest.mark.parametrize("name, content, kind", [
    ("missing", None, "Io"),
    ("folder", "folder", "Io"),
    ("empty", lambda raw, leaving: b"", "Capnp"),
    ("cut short", lambda raw, leaving: raw[:len(raw) // 2], "Capnp"),
    ("bad text", lambda raw, leaving: corrupt_text(raw), "Utf8"),
    ("segment outside tile memory", lambda raw, leaving: leaving, "Invalid"),
])
def test_open_fails_as_read_fails(name, content, kind, leaving_tile_memory, tmp_path):
    path = tmp_path / name
    sources = [path]
    if content == "folder":
        path.mkdir()
    elif content is not None:
        raw = content(package().to_bytes(), leaving_tile_memory)
        path.write_bytes(raw)
        sources += [raw, bytearray(raw)]
    for source in sources:
        errors = []
        for load in (tp.read, tp.open):
            with pytest.raises(tp.PackageError) as caught:
                load(source)
            e = caught.value
            errors.append((e.kind, e.message, e.location, e.debug, str(e)))
        assert errors[0] == errors[1], source
        assert errors[0][0] == kind
