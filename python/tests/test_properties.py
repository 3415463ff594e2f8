"""Properties of the model over random packages. A valid package reads back equal to itself
by every route; any package of in-range values is either refused with a PackageError or
reads back equal; and no sequence of changes made between calls, or inside them by
finalizers and __index__, crashes the module, breaks a memoryview taken earlier or loses a written
package.

The members of every record are found from the classes themselves (their signatures, and
what their setters and copies accept), so a member added to the model is generated here
with nothing to edit; only the validator's rules are spelled out, in valid_packages.

HYPOTHESIS_PROFILE=long runs many more examples, with a fresh seed each run."""

import copy
import enum
import gc
import inspect
import os
import pickle
import random
import tempfile

import numpy
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import torv_package as tp

with open(os.environ["TORV_SAMPLE_PACKAGE"], "rb") as _f:
    SAMPLE = _f.read()

LONG = os.environ.get("HYPOTHESIS_PROFILE") == "long"


def budget(examples, **extra):
    """Settings for a test of `examples` examples, ten times as many in the long profile."""
    return settings(deadline=None, derandomize=not LONG, database=None, max_examples=examples * (10 if LONG else 1),
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large], **extra)


# --- The members of every record, found from the classes ----------------------------------

RECORDS = [c for c in vars(tp).values() if isinstance(c, type) and hasattr(c, "__match_args__") and hasattr(c, "copy")]


def _accepts(make):
    try:
        make()
        return True
    except (TypeError, ValueError):
        return False


def _width(accepts):
    """The bits of an unsigned number that accepts(n) takes up to 2**bits - 1."""
    (bits,) = [b for b in (8, 16, 32, 64) if accepts((1 << b) - 1) and not accepts(1 << b)]
    return bits


def _kind(cls, parameter):
    """What member `parameter` of cls holds: ("number", bits), ("enum", E), ("text",),
    ("data",), ("numbers", bits), ("records", C) or ("record", C)."""
    name, default = parameter.name, parameter.default
    if isinstance(default, enum.IntEnum):
        return ("enum", type(default))
    if isinstance(default, int):
        return ("number", _width(lambda n: _accepts(lambda: cls(**{name: n}))))
    if isinstance(default, str):
        return ("text",)
    if isinstance(default, bytes):
        return ("data",)
    if type(default) in RECORDS:
        return ("record", type(default))
    assert isinstance(default, list), (cls, name)

    def copies(items):
        return _accepts(lambda: cls(**{name: items}).copy())

    if copies([0]):
        return ("numbers", _width(lambda n: copies([n])))
    (element,) = [c for c in RECORDS if copies([c()])]
    return ("records", element)


MEMBERS = {cls: {p.name: _kind(cls, p) for p in inspect.signature(cls).parameters.values()} for cls in RECORDS}

# Tile memory, and the tile number of a debug region that covers every tile.
BASE, END = 0x4C000, 0xE8000
ALL_TILES = 0xFFFFFFFF

# --- Strategies -----------------------------------------------------------------------------


def number(bits):
    top = (1 << bits) - 1
    edges = [n for n in (0, 1, 4, BASE, END - 1, END, ALL_TILES, top) if n <= top]
    return st.integers(0, top) | st.sampled_from(edges)


def arbitrary(kind):
    """Any value of a member of this kind that its setter takes."""
    tag = kind[0]
    if tag == "number":
        return number(kind[1])
    if tag == "enum":
        return st.sampled_from(list(kind[1]))
    if tag == "text":
        return st.text(max_size=6)
    if tag == "data":
        return st.binary(max_size=12)
    if tag == "numbers":
        return st.lists(number(kind[1]), max_size=3)
    if tag == "records":
        return st.lists(record(kind[1]), max_size=2)
    return record(kind[1])


def record(cls, **fixed):
    """A cls with the members in `fixed` (values or strategies) and any values in the others."""
    members = {}
    for name, kind in MEMBERS[cls].items():
        value = fixed.pop(name, None)
        if value is None:
            value = arbitrary(kind)
        members[name] = value if isinstance(value, st.SearchStrategy) else st.just(value)
    assert not fixed, f"{cls.__name__} has no member {fixed}"
    return st.builds(cls, **members)


@st.composite
def segments(draw):
    """Segments inside tile memory that do not overlap, some empty, in any order."""
    points = sorted(draw(st.lists(st.integers(BASE, END), max_size=6)))
    made = [draw(record(tp.Segment, address=a, memory_size=b - a, data=st.binary(max_size=min(b - a, 12))))
            for a, b in zip(points[::2], points[1::2])]
    return draw(st.permutations(made))


@st.composite
def inside_tile_memory(draw, cls, tile_ids, tile, address, size):
    start = draw(st.integers(BASE, END))
    return draw(record(cls, **{tile: st.sampled_from(tile_ids), address: start, size: st.integers(0, END - start)}))


@st.composite
def bindings(draw, tile_ids):
    """Inputs, outputs and weights: names neither empty nor repeated across the three."""
    names = draw(st.lists(st.text(min_size=1, max_size=4), unique=True, max_size=5))
    slices = st.lists(inside_tile_memory(tp.RegionSlice, tile_ids, "tile", "tile_address", "size"), max_size=2)
    made = [draw(record(tp.Binding, name=name, slices=slices)) for name in names]
    first, second = sorted(draw(st.integers(0, len(made))) for _ in range(2))
    return made[:first], made[first:second], made[second:]


@st.composite
def within_page(draw, pages, cls, page, offset, size, least=0):
    chosen = draw(st.sampled_from(sorted(i for i, s in pages.items() if s >= least)))
    length = least or draw(st.integers(0, pages[chosen]))
    fields = {page: chosen, offset: draw(st.integers(0, pages[chosen] - length))}
    if size:
        fields[size] = length
    return draw(record(cls, **fields)) if cls else fields


@st.composite
def batch_ends(draw, count):
    """Strictly increasing ends, the last one `count`."""
    inner = draw(st.sets(st.integers(1, count - 1), max_size=3)) if count > 1 else set()
    return sorted(inner) + [count] if count else []


@st.composite
def host_calls(draw, pages):
    slices = st.lists(within_page(pages, tp.HostSlice, "page", "page_offset", "size"), max_size=3)
    inputs, outputs = draw(slices), draw(slices)
    return draw(record(tp.HostCall, inputs=inputs, outputs=outputs, invocations=st.integers(1, ALL_TILES),
                       input_batch_ends=batch_ends(len(inputs)), output_batch_ends=batch_ends(len(outputs))))


@st.composite
def host_exchanges(draw):
    page_list = draw(st.lists(record(tp.HostPage), max_size=3, unique_by=lambda p: p.index))
    pages = {p.index: p.size for p in page_list}
    fields = {"pages": page_list, "attach_order": st.lists(st.sampled_from(sorted(pages)), max_size=3) if pages else []}
    if any(size >= 4 for size in pages.values()) and draw(st.booleans()):
        # The command slot, four bytes, inside a page: required once there are calls.
        fields.update(draw(within_page(pages, None, "command_page", "command_offset", None, least=4)))
        fields["calls"] = st.lists(host_calls(pages), min_size=1, max_size=2)
    else:
        fields["calls"] = []
    return draw(record(tp.HostExchange, **fields))


@st.composite
def profile_plans(draw, tile_ids):
    plans = draw(st.lists(record(tp.TileProfilePlan, physical_tile=st.sampled_from(tile_ids),
                                 steps=st.lists(record(tp.ProfileStep), max_size=3)),
                          max_size=len(tile_ids), unique_by=lambda p: p.physical_tile))
    for plan in plans:
        for i, step in enumerate(plan.steps):
            step.local_index = i
    return plans


@st.composite
def debug_regions(draw, tile_ids):
    size = draw(st.integers(1, ALL_TILES))
    return draw(record(tp.DebugRegion, physical_tile=st.sampled_from(tile_ids + [ALL_TILES]),
                       address=st.integers(0, ALL_TILES - size), size=size, name=st.text(min_size=1, max_size=4)))


@st.composite
def valid_packages(draw):
    tile_ids = draw(st.lists(number(32), min_size=1, max_size=3, unique=True))
    inputs, outputs, weights = draw(bindings(tile_ids))
    return draw(record(
        tp.Application,
        tiles=[draw(record(tp.TileImage, physical_tile=t, segments=segments())) for t in tile_ids],
        inputs=inputs, outputs=outputs, weights=weights,
        host_exchange=host_exchanges(),
        device_config_writes=st.lists(st.integers(0, ALL_TILES // 4), unique=True, max_size=3).map(
            lambda offsets: [tp.DeviceConfigWrite(offset=4 * o) for o in offsets]),
        profile_tiles=profile_plans(tile_ids),
        debug_symbols=st.lists(record(tp.DebugSymbol, name=st.text(min_size=1, max_size=4)), max_size=2),
        debug_regions=st.lists(debug_regions(tile_ids), max_size=2)))


class Pick:
    """Random choices, drawn from Hypothesis (which then shrinks them), or from a seeded
    Random inside a finalizer, where nothing can be drawn."""

    def __init__(self, data=None, rnd=None):
        self.data, self.rnd = data, rnd

    def index(self, n):
        if n <= 1:
            return 0
        return self.data.draw(st.integers(0, n - 1)) if self.data else self.rnd.randrange(n)

    def one(self, items):
        return items[self.index(len(items))]


def walk(root, pick, seen=None):
    """A record reached from root by up to three random steps down its lists and records."""
    here = root
    for _ in range(pick.index(4)):
        inner = [name for name, kind in MEMBERS[type(here)].items() if kind[0] in ("records", "record")]
        if not inner:
            break
        name = pick.one(inner)
        value = getattr(here, name)
        if MEMBERS[type(here)][name][0] == "records":
            if not value:
                break
            value = value[pick.index(len(value))]
        if type(value) not in MEMBERS:
            break
        here = value
    if seen is not None:
        seen.append(here)
        del seen[:-12]
    return here


@st.composite
def near_valid_packages(draw):
    """A valid package with one to three members, anywhere, set to any in-range value."""
    app = draw(valid_packages())
    for _ in range(draw(st.integers(1, 3))):
        here = walk(app, Pick(draw(st.data())))
        name = draw(st.sampled_from(sorted(MEMBERS[type(here)])))
        setattr(here, name, draw(arbitrary(MEMBERS[type(here)][name])))
    return app


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("properties")


# --- Round trips ------------------------------------------------------------------------------

@budget(60)
@given(app=valid_packages())
def test_a_valid_package_reads_back_equal_by_every_route(app, folder):
    app.validate()
    data = app.to_bytes()
    back = tp.read(data)
    assert back == app
    assert back.to_bytes() == data
    assert tp.open(data).to_application() == app
    path = folder / "valid.torv"
    app.write(path)
    assert path.read_bytes() == data
    assert tp.read(path) == app
    assert tp.open(path).to_application() == app


@budget(120)
@given(app=record(tp.Application) | near_valid_packages())
def test_a_package_of_any_values_is_refused_or_reads_back_equal(app):
    # validate() and to_bytes() judge alike: both pass, or both raise the same error.
    try:
        app.validate()
    except tp.PackageError as invalid:
        with pytest.raises(tp.PackageError) as refused:
            app.to_bytes()
        assert (refused.value.kind, refused.value.location, refused.value.message) == \
            (invalid.kind, invalid.location, invalid.message)
        return
    assert tp.read(app.to_bytes()) == app


# --- Changes between and inside calls ----------------------------------------------------------

class IntLike:
    """An integer that is not an int."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __repr__(self):
        return f"IntLike({self.n})"


class Meddler(IntLike):
    """An integer whose __index__ makes a random change to the packages of the machine
    running, from inside whichever call reads it; pickled as a plain IntLike."""

    machine = None

    def __index__(self):
        machine = Meddler.machine
        if machine is not None and not machine.meddling:
            machine.meddling = True
            machine.changed_inside += 1
            try:
                pick = Pick(rnd=random.Random(self.n))
                mutate(pick_root(machine, pick), pick, machine)
            finally:
                machine.meddling = False
        return self.n

    def __reduce__(self):
        return (IntLike, (self.n,))


class Series(list):
    """A list subclass: iterated through Python, not as a list."""


def number_values(bits):
    top = (1 << bits) - 1
    return [0, 4, BASE, END, top, top + 1, -1, numpy.uint16(7), IntLike(3), IntLike(-1), Meddler(5), 1.0, "1", None, True]


TEXTS = ["", "x", "é", "a\x00b", "\U0001F600", "\udc80", b"x", 3, None]


def candidates(cls, state, here, name):
    """Things to put in a list of cls (a C++ record class), right and wrong ones."""
    own = [r for r in state.seen if type(r) is cls]
    wrong = [r for r in state.seen if type(r) is not cls] + [tp.Segment(), tp.Application()]
    things = [cls(), getattr(here, name), state.app, 7, None, "x"] + own + wrong
    return things


def assign(target, name, value):
    try:
        setattr(target, name, value)
    except (TypeError, ValueError):
        pass


def mutate(root, pick, state):
    """One random change somewhere in root's structure, valid or not."""
    here = walk(root, pick, state.seen)
    name = pick.one(sorted(MEMBERS[type(here)]))
    kind = MEMBERS[type(here)][name]
    tag = kind[0]
    if tag == "number":
        assign(here, name, pick.one(number_values(kind[1])))
    elif tag == "enum":
        assign(here, name, pick.one(list(kind[1]) + [len(kind[1]), -1, IntLike(1), 1.0, "Idle", True]))
    elif tag == "text":
        assign(here, name, pick.one(TEXTS))
    elif tag == "data":
        action = pick.index(7)
        if action == 0:  # a view of the data as they are, kept
            view = memoryview(here.data)
            state.views.append((view, view.tobytes()))
        elif action == 1:  # from a bytearray changed afterwards: the record keeps a copy
            source = bytearray(pick.one([b"", b"ab", bytes(range(40))]))
            here.data = source
            kept = here.data
            source[:] = b"changed"
            state.views.append((memoryview(kept), bytes(kept)))
        else:
            raw = pick.one([b"", b"abcd", bytes(300)])
            assign(here, name, pick.one([raw, memoryview(raw), tp.Data(raw), numpy.arange(3, dtype="<u4"),
                                          memoryview(bytes(range(8)))[::2], "text", 5]))
    elif tag == "numbers":
        values = getattr(here, name)
        action = pick.index(5)
        if action == 0:
            values.append(pick.one(number_values(kind[1]) + [values]))
        elif action == 1 and values:
            values.pop(pick.index(len(values)))
        elif action == 2 and values:
            values[pick.index(len(values))] = pick.one(number_values(kind[1]))
        elif action == 3:
            assign(here, name, pick.one([[1, 2], (3,), Series([4]), (n for n in [5, 6]), "12", 9]))
        else:
            values.clear()
    elif tag == "records":
        items = getattr(here, name)
        things = candidates(kind[1], state, here, name)
        action = pick.index(6)
        if action == 0:
            items.append(pick.one(things))
        elif action == 1 and items:
            items.pop(pick.index(len(items)))
        elif action == 2 and items:
            items[pick.index(len(items))] = pick.one(things)
        elif action == 3:  # another record's list, shared from now on
            others = [getattr(r, n) for r in state.seen for n, k in MEMBERS[type(r)].items() if k == kind]
            assign(here, name, pick.one(others + [[], Series([kind[1]()]), (kind[1](),), "x"]))
        elif action == 4 and items and type(item := items[pick.index(len(items))]) in MEMBERS:
            try:
                items.append(item.copy())
            except (TypeError, ValueError):
                pass
        else:
            items.reverse()
    else:
        nested = kind[1]
        assign(here, name, pick.one([nested()] + [r for r in state.seen if type(r) is nested] + [tp.Segment(), None]))


class Finalizer:
    """Garbage in a cycle whose finalizer leaves another such finalizer behind, as long as
    `delays` lasts, and makes one random change each time a delay runs out. With the
    collector run at almost every allocation, the changes land at random points inside a
    call."""

    def __init__(self, machine, rnd, delays):
        self.machine, self.rnd, self.delays, self.cycle = machine, rnd, delays, self

    def __del__(self):
        machine, delays = self.machine, list(self.delays)
        if delays[0] == 0:
            delays.pop(0)
            machine.changed_inside += 1
            try:
                mutate(pick_root(machine, Pick(rnd=self.rnd)), Pick(rnd=self.rnd), machine)
            except BaseException as e:  # kept for the machine to report, not lost as unraisable
                machine.failures.append(e)
        else:
            delays[0] -= 1
        if delays:
            Finalizer(machine, self.rnd, delays)


def pick_root(machine, pick):
    return pick.one([machine.app, machine.app, machine.other])


# What a call may raise: the structure is not a package (TypeError, ValueError), or the
# package is not valid (PackageError).
REFUSED = (TypeError, ValueError, tp.PackageError)


class Changes(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.views = []     # (memoryview, the bytes it showed when taken)
        self.seen = []      # records met lately, to share into other lists
        self.failures = []  # exceptions inside finalizers
        self.changed_inside = 0
        self.app = self.other = None
        self.folder = tempfile.TemporaryDirectory()
        self.armed = ([], 0)  # finalizers for the next call: (delays, seed)
        self.meddling = False
        Meddler.machine = self

    def teardown(self):
        Meddler.machine = None
        self.folder.cleanup()

    @initialize(app=st.none() | valid_packages())
    def start(self, app):
        self.app = tp.read(SAMPLE) if app is None else app
        self.other = tp.read(SAMPLE)

    @rule()
    def read_again(self):
        """A fresh package, none of whose lists Python has used yet."""
        self.app = tp.read(SAMPLE)

    @rule(data=st.data())
    def change(self, data):
        pick = Pick(data)
        mutate(pick_root(self, pick), pick, self)

    @rule(data=st.data())
    def plant_meddler(self, data):
        """An integer in a list of numbers, read (and so run) only inside a later call."""
        here = walk(self.app, Pick(data))
        lists = [name for name, kind in MEMBERS[type(here)].items() if kind[0] == "numbers"]
        target = getattr(here, lists[0]) if lists else self.app.host_exchange.attach_order
        target.insert(data.draw(st.integers(0, len(target))), Meddler(data.draw(st.integers(0, 7))))

    @rule(call=st.sampled_from(["validate", "to_bytes", "write", "eq", "copy", "repr", "pickle"]),
          delays=st.lists(st.integers(0, 6), max_size=3), seed=st.integers(0, 2**32), data=st.data())
    def call(self, call, delays, seed, data):
        self.armed = (delays, seed)
        before = self.changed_inside
        try:
            getattr(self, "call_" + call)(data, lambda: self.changed_inside == before)
        finally:
            while gc.collect(0):  # the rest of the finalizers' chain, all young
                pass

    def during(self, call):
        """(True, call()), or (False, None) when call() refuses with a REFUSED error; the
        finalizers armed by the rule run at allocations inside it."""
        threshold = gc.get_threshold()
        gc.disable()
        delays, seed = self.armed
        if delays:
            Finalizer(self, random.Random(seed), delays)
        self.armed = ([], 0)
        # Young collections at almost every allocation: the finalizers are young.
        gc.set_threshold(1, 1000, 1000)
        gc.enable()
        try:
            return True, call()
        except REFUSED:
            return False, None
        finally:
            gc.set_threshold(*threshold)

    def call_validate(self, data, unchanged):
        self.during(self.app.validate)

    def written(self, data, unchanged):
        """A package just written as `data` reads back equal, if nothing changed meanwhile."""
        back, opened = tp.read(data), tp.open(data).to_application()
        if unchanged():
            assert back == self.app and opened == self.app

    def call_to_bytes(self, data, unchanged):
        ok, written = self.during(self.app.to_bytes)
        if ok:
            self.written(written, unchanged)

    def call_write(self, data, unchanged):
        path = os.path.join(self.folder.name, "changed.torv")
        ok, _ = self.during(lambda: self.app.write(path))
        if ok:
            with open(path, "rb") as f:
                self.written(f.read(), unchanged)

    def call_eq(self, data, unchanged):
        other, here = walk(self.other, Pick(data)), walk(self.app, Pick(data))
        ok, equal = self.during(lambda: here == other)
        if ok and type(here) is not type(other):
            assert not equal
        assert here == here  # the same object: equal without being copied

    def call_copy(self, data, unchanged):
        here = walk(self.app, Pick(data))
        copier = data.draw(st.sampled_from(["copy", "copy.copy", "copy.deepcopy"]))
        ok, made = self.during({"copy": here.copy, "copy.copy": lambda: copy.copy(here),
                                "copy.deepcopy": lambda: copy.deepcopy(here)}[copier])
        if ok:
            assert made is not here and type(made) is type(here)
            if unchanged():
                assert made == here

    def call_repr(self, data, unchanged):
        here = walk(self.app, Pick(data))
        ok, text = self.during(lambda: repr(here))
        assert ok and text.startswith(type(here).__name__ + "(")

    def call_pickle(self, data, unchanged):
        here = walk(self.app, Pick(data))
        ok, back = self.during(lambda: pickle.loads(pickle.dumps(here)))
        assert ok and type(back) is type(here)
        ok, same = self.during(lambda: back == here)
        if ok and unchanged():
            assert same

    @invariant()
    def views_keep_their_bytes(self):
        for view, seen in self.views:
            assert view.tobytes() == seen

    @invariant()
    def finalizers_raised_nothing(self):
        assert not self.failures


Changes.TestCase.settings = budget(40, stateful_step_count=30)
test_changes_between_and_inside_calls = Changes.TestCase
