"""The Python module over the package library: reading, errors, building and writing,
segment data without copies, and the rule that list changes reach the package."""

import gc
import os
import pathlib
import struct

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
    assert str(e) == "at tiles[1].segments[2]: " + debug

    with pytest.raises(tp.PackageError) as missing:
        tp.read(tmp_path / "missing.torv")
    assert (missing.value.kind, missing.value.location) == ("Io", "")
    assert str(missing.value) == 'Io(Os { code: 2, message: "No such file or directory" })'
    assert missing.value.message == "No such file or directory"

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
    assert tp.HostCall().invocations == 0 and tp.Binding().shape == []
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
