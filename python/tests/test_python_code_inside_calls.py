"""Python code that runs inside a call of the module (an __index__, a __class__, a finalizer
started by the garbage collector) changes the package for the next call, never this one,
and cannot make it crash, lose data or read freed memory."""

import copy
import gc
import os
import pickle

import pytest

import torv_package as tp

SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]


def sample():
    with open(SAMPLE, "rb") as f:
        return tp.read(f.read())


class Finalizer:
    """Garbage in a reference cycle whose finalizer runs `action` when the collector finds it."""

    def __init__(self, action, ran):
        self.action, self.ran, self.cycle = action, ran, self

    def __del__(self):
        self.ran.append(True)
        self.action()


@pytest.fixture
def collector_runs_often():
    """The collector runs on almost every allocation, as it can in any large program."""
    old = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1, 1, 1)
    yield
    gc.set_threshold(*old)
    gc.collect()


class CollectsOnIndex:
    """A number that, when a call reads it, leaves a Finalizer as garbage and has the
    collector find it: the finalizer runs inside the call, in the middle of its copy."""

    def __init__(self, value, action, ran):
        self.value, self.action, self.ran = value, action, ran

    def __index__(self):
        Finalizer(self.action, self.ran)
        gc.collect()
        return self.value


def during(app, call, action):
    """Runs call() with action() run by a finalizer in the middle of it; returns its result.
    The number is planted in the first input's shape, which every call reads after the tiles."""
    ran = []
    shape = app.inputs[0].shape
    shape[0] = CollectsOnIndex(shape[0], action, ran)
    result = call()
    assert ran == [True], "the finalizer did not run inside the call"
    return result


class ClearsOnIndex:
    def __init__(self, victim, value):
        self.victim, self.value = victim, value

    def __index__(self):
        self.victim.clear()
        return self.value


@pytest.mark.parametrize("copier", [lambda b: b.copy(), copy.copy, copy.deepcopy])
def test_an_index_that_clears_its_list_changes_the_next_copy(copier):
    binding = tp.Binding(name="x", shape=[1, 2, 3])
    binding.shape[1] = ClearsOnIndex(binding.shape, 7)
    copied = copier(binding)
    assert copied.shape == [1, 7, 3]
    assert binding.shape == []


@pytest.mark.parametrize("call", ["validate", "to_bytes", "__eq__", "copy"])
def test_a_finalizer_that_appends_a_segment_during_a_call(call):
    app = sample()
    tile = app.tiles[1]
    data = tile.segments[0].data
    view = memoryview(data)
    before = bytes(view)

    def append():
        tile.segments.append(tp.Segment(address=0x4C000, memory_size=4, data=b"abcd"))

    method = getattr(app, call)
    during(app, lambda: method(sample()) if call == "__eq__" else method(), append)
    assert bytes(view) == before
    assert tile.segments[0].data is data
    assert tile.segments[-1].data == b"abcd"


@pytest.mark.parametrize("member", ["tiles", "inputs"])  # copied before the shape, and being copied
@pytest.mark.parametrize("call", ["to_bytes", "validate", "copy"])
def test_a_finalizer_that_empties_a_list_of_a_fresh_package(call, member):
    app = sample()
    count = len(getattr(sample(), member))
    result = during(app, getattr(app, call), lambda: getattr(app, member).clear())
    assert getattr(app, member) == []
    if call == "to_bytes":
        assert len(getattr(tp.read(result), member)) == count
    if call == "copy":
        assert len(getattr(result, member)) == count


def test_a_finalizer_that_reads_the_tiles_during_their_first_use(collector_runs_often):
    expected = sample()
    app = sample()
    seen = []
    ran = []
    Finalizer(lambda: seen.append(len(app.tiles)), ran)
    tiles = app.tiles
    gc.collect()
    assert len(tiles) == 3 and seen == [3]
    assert tp.read(app.to_bytes()) == expected
    assert len(tp.read(app.to_bytes()).debug_symbols) == len(expected.debug_symbols)


def test_a_fake_class_is_refused_without_being_asked():
    app = sample()

    class Impostor:
        @property
        def __class__(self):
            app.tiles.clear()
            return tp.TileImage

    app.tiles.append(Impostor())
    with pytest.raises(TypeError, match=r"tiles\[3\]: expected TileImage, got Impostor"):
        app.validate()
    assert len(app.tiles) == 4


def test_records_in_a_cycle_are_collected():
    def applications():
        gc.collect()
        return sum(isinstance(o, tp.Application) for o in gc.get_objects())

    before = applications()
    for _ in range(200):
        app = tp.Application(tiles=[tp.TileImage()])
        app.tiles.append(app)  # refused when written, but a cycle all the same
        app.tiles[0].segments.append(app.tiles)
    del app
    assert applications() == before


@pytest.mark.parametrize("make, error, text", [
    (lambda: tp.Segment(address=True), TypeError, "Segment.address: expected an integer, got bool"),
    (lambda: tp.Segment(address=-1), ValueError, "Segment.address: -1 is out of range"),
    (lambda: tp.Segment(1, 2, b"", 4, 5), TypeError, r"at most 4 positional arguments \(5 given\)"),
    (lambda: tp.Segment(1, address=2), TypeError, "multiple values for argument 'address'"),
    (lambda: tp.DebugSymbol(name="\udc80"), ValueError, "DebugSymbol.name: text that is not valid Unicode"),
    (lambda: tp.ProfileStepKind(99), ValueError, "99 is not a valid ProfileStepKind"),
    (lambda: tp.ProfileStep(kind=4), ValueError, "ProfileStep.kind: 4 is not a valid ProfileStepKind"),
    (lambda: tp.ProfileStep(kind="Idle"), TypeError, "ProfileStep.kind: expected ProfileStepKind, got str"),
])
def test_values_outside_the_schema_are_refused_when_built(make, error, text):
    with pytest.raises(error, match=text):
        make()


@pytest.mark.parametrize("size, error", [
    (16, None),
    (17, r"^tiles\[0\]\.segments\[0\]: .*memory_size=16 data_size=17"),
])
def test_segment_data_is_validated_and_written_where_it_lies(size, error):
    app = sample()
    app.tiles[0].segments[0] = tp.Segment(0x4C000, 16, bytearray(range(size)))
    if error:
        with pytest.raises(tp.PackageError, match=error):
            app.validate()
        with pytest.raises(tp.PackageError, match=error):
            app.to_bytes()
    else:
        app.validate()
        assert bytes(tp.read(app.to_bytes()).tiles[0].segments[0].data) == bytes(range(size))
