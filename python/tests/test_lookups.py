"""Lookups by tile and by name on the model and on views, the bytes they give against a
reference built here, and views of packages the rules refuse."""

import os
import pathlib
import struct

import pytest

import torv_package as tp

SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]
BASE, SIZE = 0x4C000, 0x9C000


def window(tile):
    memory = bytearray(SIZE)
    for segment in tile.segments:
        memory[segment.address - BASE:segment.address - BASE + len(segment.data)] = bytes(segment.data)
    return bytes(memory)


def gathered(package, binding):
    windows = {t.physical_tile: window(t) for t in package.tiles}
    return b"".join(windows[s.tile][s.tile_address - BASE:s.tile_address - BASE + s.size] for s in binding.slices)


@pytest.fixture(params=["model", "view"])
def package(request):
    return tp.read(SAMPLE) if request.param == "model" else tp.open(SAMPLE)


@pytest.mark.parametrize("physical", [0, 1, 1471, 2, 2**32 - 1])
def test_tiles_by_physical_number(package, physical):
    expected = [t for t in package.tiles if t.physical_tile == physical]
    found = package.tile(physical)
    if not expected:
        assert found is None
        with pytest.raises(tp.PackageError, match=f"^package has no tile {physical}$") as error:
            package.tile_memory(physical)
        assert (error.value.kind, error.value.location) == ("Invalid", "")
        return
    assert found.physical_tile == physical and found.entry_point == expected[0].entry_point
    if isinstance(package, tp.Application):
        assert found is package.tiles[package.tiles.index(expected[0])]
    assert package.tile_memory(physical) == window(found)


@pytest.mark.parametrize("name, dtype", [("image", "float16"), ("logits", "float32"), ("conv0.weight", "float16"),
                                         ("conv0", None), ("", None)])
def test_bindings_by_name(package, name, dtype):
    found = package.binding(name)
    if dtype is None:
        assert found is None
        with pytest.raises(tp.PackageError, match=f"^package has no binding {name}$"):
            package.binding_bytes(name)
        return
    assert found.dtype == dtype
    assert package.binding_bytes(name) == gathered(package, found)


@pytest.mark.parametrize("call, argument, error", [
    ("tile", -1, ValueError), ("tile", 2**32, ValueError), ("tile", "0", TypeError), ("tile_memory", 1.0, TypeError),
    ("binding", b"image", TypeError), ("binding_bytes", None, TypeError), ("binding", "\udc80", ValueError)])
def test_arguments_of_the_wrong_kind(package, call, argument, error):
    with pytest.raises(error):
        getattr(package, call)(argument)


def test_the_model_lookups_see_its_changes():
    app = tp.read(SAMPLE)
    app.tiles[0].segments[1].data = b"\x01\x02\x03\x04"
    app.tile(1).physical_tile = 7
    app.binding("logits").slices[0].tile = 7
    assert app.tile(1) is None and app.tile(7) is app.tiles[1]
    assert app.tile_memory(0)[0x50000 - BASE:0x50000 - BASE + 4] == b"\x01\x02\x03\x04"
    assert app.binding_bytes("logits") == gathered(app, app.binding("logits"))


def test_slices_past_the_budget_are_refused():
    app = tp.read(SAMPLE)
    app.weights[0].slices = [tp.RegionSlice(tile=0, tile_address=BASE, size=SIZE)] * 100
    with pytest.raises(tp.PackageError, match=r"^weights\[0\]: binding conv0.weight holds more than \d+ bytes") as error:
        app.binding_bytes("conv0.weight")
    assert error.value.location == "weights[0]"
    with pytest.raises(tp.PackageError, match=r"^weights\[0\]: binding conv0.weight holds more than"):
        tp.open(app.to_bytes()).binding_bytes("conv0.weight")


def test_a_refused_package_opens_unvalidated_with_its_faults(tmp_path):
    good = tp.read(SAMPLE).to_bytes()
    # Tile 1's last segment made to end past tile memory, and a debug region made empty.
    bad = good.replace(struct.pack("<II", 0xE7FF0, 0x10), struct.pack("<II", 0xE7FF0, 0x20))
    bad = bad.replace(struct.pack("<III", 1, 0x80000, 0x200), struct.pack("<III", 1, 0x80000, 0))
    path = tmp_path / "bad.torv"
    path.write_bytes(bad)
    with pytest.raises(tp.PackageError):
        tp.open(path)
    for source in (path, str(path), bad, bytearray(bad)):
        faults = tp.open(source, validate=False).faults()
        assert [(e.kind, e.location) for e in faults] == [("Invalid", "tiles[1].segments[1]"),
                                                          ("Invalid", "debug_regions[2]")]
        assert all(isinstance(e, tp.PackageError) for e in faults)
    view = tp.open(path, validate=False)
    assert view.tile_memory(1)[-16:] == bytes.fromhex("11111111222222223333333344444444")
    assert tp.open(SAMPLE).faults() == [] and tp.open(SAMPLE, validate=False).faults() == []
    # What reading finds still refuses the package.
    with pytest.raises(tp.PackageError, match="not a package"):
        tp.open(b"", validate=False)
