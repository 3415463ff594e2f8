"""torv-package extract on the sample and a device-shaped package: each tile's window
against vindle's words and against a reference built from the Python view, each binding's
bytes against the same, the .npy files as NumPy loads them, and the refusals."""

import os
import pty
import struct
import subprocess

import numpy
import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]
VINDLE = os.environ["TORV_VINDLE"]
SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]
BASE, SIZE = 0x4C000, 0x9C000


def run(*args, stdout=subprocess.PIPE, **options):
    done = subprocess.run([TOOL, *map(str, args)], stdout=stdout, stderr=subprocess.PIPE, **options)
    return done.returncode, done.stdout, done.stderr.decode()


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """The sample, and a device-shaped package of 64 tiles, 8 segments each, made by the
    benchmarks' generator (in a build without benchmarks, the sample alone)."""
    if "TORV_MAKE_PACKAGE" not in os.environ:
        return {"sample": SAMPLE, "device": SAMPLE}
    device = tmp_path_factory.mktemp("device") / "device.torv"
    subprocess.run([os.environ["TORV_MAKE_PACKAGE"], device, "64", "16384"], check=True, capture_output=True)
    return {"sample": SAMPLE, "device": str(device)}


def window(tile):
    """A tile's memory as a loader leaves it, from the view's segments."""
    memory = bytearray(SIZE)
    for segment in tile.segments:
        memory[segment.address - BASE:segment.address - BASE + len(segment.data)] = segment.data
    return bytes(memory)


def gathered(view, binding):
    windows = {t.physical_tile: window(t) for t in view.tiles}
    return b"".join(windows[s.tile][s.tile_address - BASE:s.tile_address - BASE + s.size] for s in binding.slices)


@pytest.mark.parametrize("name", ["sample", "device"])
def test_tiles_are_their_windows_as_vindle_shows_them(packages, tmp_path, name):
    path = packages[name]
    view = tp.open(path)
    code, _, err = run("extract", path, "--tiles", "-o", tmp_path / "tiles")
    assert (code, err) == (0, "")
    assert sorted(os.listdir(tmp_path / "tiles")) == sorted(f"tile-{t.physical_tile}.bin" for t in view.tiles)
    for tile in list(view.tiles)[:3] + list(view.tiles)[-2:]:
        physical = tile.physical_tile
        code, memory, err = run("extract", path, "--tile", physical)
        assert (code, err) == (0, "")
        assert memory == window(tile) == (tmp_path / "tiles" / f"tile-{physical}.bin").read_bytes()
        words = subprocess.run([VINDLE, path, str(physical)], capture_output=True, text=True, check=True).stdout
        lines = [line.split() for line in words.splitlines() if not line.startswith("segment")]
        assert lines or not any(s.address >= 0x50000 and len(s.data) >= 4 for s in tile.segments)
        for address, word in lines:
            at = int(address, 16) - BASE
            assert struct.unpack_from("<I", memory, at)[0] == int(word, 16), address


@pytest.mark.parametrize("name", ["sample", "device"])
def test_bindings_are_their_slices_raw_and_as_numpy_arrays(packages, tmp_path, name):
    path = packages[name]
    view = tp.open(path)
    bindings = list(view.inputs) + list(view.outputs) + list(view.weights)
    for binding in bindings[:4] + bindings[-2:]:
        code, raw, err = run("extract", path, "--binding", binding.name)
        assert (code, err) == (0, "")
        assert raw == gathered(view, binding) and len(raw) == sum(s.size for s in binding.slices)
        npy = tmp_path / "b.npy"
        code, _, err = run("extract", path, "--binding", binding.name, "--npy", "-o", npy)
        assert code == 0
        # The generator's bindings hold fewer bytes than their shapes: those are one dimension.
        dtype = numpy.dtype(binding.dtype)
        fits = numpy.prod(binding.shape) * dtype.itemsize == len(raw)
        assert bool(err) != fits
        array = numpy.load(npy)
        assert (array.dtype, array.shape, array.tobytes()) == (
            dtype, tuple(binding.shape) if fits else (len(raw) // dtype.itemsize,), raw)


def sample_with(**bindings):
    """The sample with one weight, "w", holding these members."""
    app = tp.read(SAMPLE)
    app.weights = [tp.Binding(name="w", **bindings)]
    return app


# (the weight's members, arguments after the package, status, dtype and shape loaded, stderr)
CASES = [
    (dict(dtype="bfloat16", shape=[2], slices=[tp.RegionSlice(tile=0, tile_address=0x60000, size=4)]),
     ["--binding", "w", "--npy"], 1, None,
     "torv-package: {p}: binding w: dtype bfloat16 has no NumPy type; leave out --npy for its raw bytes\n"),
    (dict(dtype="int16", shape=[2, 3], slices=[tp.RegionSlice(tile=0, tile_address=0x60000, size=8)]),
     ["--binding", "w", "--npy"], 0, ("<i2", (4,)),
     "torv-package: warning: {p}: binding w: shape [2, 3] does not hold its 8 bytes (4 int16 items); "
     "written with shape (4,)\n"),
    (dict(dtype=">f4", shape=[], slices=[tp.RegionSlice(tile=0, tile_address=0x60000, size=4)]),
     ["--binding", "w", "--npy"], 0, (">f4", ()), ""),
    (dict(dtype="u1", shape=[3, 1], slices=[tp.RegionSlice(tile=0, tile_address=0x60000, size=3)]),
     ["--binding", "w", "--npy"], 0, ("|u1", (3, 1)), ""),
    (dict(dtype="f4", shape=[1], slices=[tp.RegionSlice(tile=0, tile_address=0x60000, size=6)]),
     ["--binding", "w", "--npy"], 1, None,
     "torv-package: {p}: binding w: its 6 bytes are not a whole number of f4 items (4 bytes each); "
     "leave out --npy for its raw bytes\n"),
    (dict(dtype="f4", shape=[1], slices=[tp.RegionSlice(tile=0, tile_address=BASE, size=SIZE)] * 100),
     ["--binding", "w"], 1, None,
     "torv-package: {p}: weights[0]: binding w holds more than {limit} bytes, the most its package may "
     "expand to\n"),
    (dict(), ["--binding", "nope"], 1, None, "torv-package: {p}: package has no binding nope\n"),
    (dict(), ["--tile", "0x7"], 1, None, "torv-package: {p}: package has no tile 7\n"),
    (dict(), [], 2, None, "torv-package: give --tile N, --tiles or --binding NAME\nRun with --help for more information.\n"),
    (dict(), ["--tile", "010"], 1, None, "torv-package: {p}: package has no tile 10\n"),
    (dict(), ["--tile", "-1"], 2, None,
     "torv-package: --tile: '-1' is not a number from 0 to 0xffffffff (decimal, or hex after 0x)\n"
     "Run with --help for more information.\n"),
    (dict(), ["--tile", "0", "--npy"], 2, None, "torv-package: --npy requires --binding\nRun with --help for more information.\n"),
]


@pytest.mark.parametrize("members, args, status, loaded, err", CASES)
def test_refusals_and_npy_shapes(tmp_path, members, args, status, loaded, err):
    path = tmp_path / "p.torv"
    sample_with(**members).write(path)
    out = tmp_path / "out"
    code, _, stderr = run("extract", path, *args, "-o", out)
    limit = 32 * 2**20 + 5 * path.stat().st_size // 2  # what a read of the package may take
    assert (code, stderr) == (status, err.format(p=path, limit=limit))
    assert out.exists() == (status == 0)
    if loaded:
        array = numpy.load(out)
        assert (array.dtype.str, array.shape) == loaded


def test_outputs_that_would_destroy_an_input_or_garble_a_terminal(tmp_path):
    path = tmp_path / "p.torv"
    tp.read(SAMPLE).write(path)
    before = path.read_bytes()
    code, _, err = run("extract", path, "--tile", "0", "-o", path)
    assert (code, err) == (2, f"torv-package: output {path} is the same file as input {path}; write to another file\n")
    inside = tmp_path / "tiles" / "tile-1.bin"
    inside.parent.mkdir()
    path.rename(inside)
    code, _, err = run("extract", inside, "--tiles", "-o", inside.parent)
    assert (code, err) == (2, f"torv-package: output {inside} is the same file as input {inside}; write to another file\n")
    assert inside.read_bytes() == before
    code, _, err = run("extract", inside, "--tiles")
    assert (code, err) == (2, "torv-package: --tiles writes a folder; give -o DIR\nRun with --help for more information.\n")
    controller, terminal = pty.openpty()
    try:
        code, _, err = run("extract", inside, "--tile", "0", stdout=terminal)
    finally:
        os.close(controller)
        os.close(terminal)
    assert (code, err) == (2, "torv-package: refusing to write bytes to a terminal; give -o FILE or redirect standard output\n")
