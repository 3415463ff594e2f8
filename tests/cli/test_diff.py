"""torv-package diff over pairs of packages written with the Python module: the exact
lines, and a status that is 0 exactly when the models read back are equal."""

import os
import pathlib
import subprocess

import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]
MANUAL = pathlib.Path(__file__).resolve().parents[2] / "man" / "torv-package.1"


def diff(a, b, tmp_path):
    paths = tmp_path / "a.torv", tmp_path / "b.torv"
    a.write(paths[0])
    b.write(paths[1])
    done = subprocess.run([TOOL, "diff", *map(str, paths)], capture_output=True, text=True)
    assert done.stderr == ""
    differ = tp.read(paths[0]) != tp.read(paths[1])
    return done.returncode, done.stdout.splitlines(), differ


def segment(address, size, data=b""):
    return tp.Segment(address=address, memory_size=size, data=data)


def call(name, command):
    return tp.HostCall(name=name, command=command, invocations=1)


def base():
    return tp.Application(
        compiler_version="test 1.0",
        tiles=[
            tp.TileImage(physical_tile=0, segments=[segment(0x4C000, 8), segment(0x60000, 8),
                                                    segment(0x70000, 16, bytes(range(16)))]),
            tp.TileImage(physical_tile=1),
            tp.TileImage(physical_tile=2),
        ],
        inputs=[tp.Binding(name=n, dtype="f16", shape=[2]) for n in ("x", "y")],
        host_exchange=tp.HostExchange(
            command_page=0, pages=[tp.HostPage(index=i, size=64) for i in range(3)], attach_order=[0, 1],
            calls=[call("load", 1), call("store", 2), call("sync", 3)]),
        entry_points=[tp.EntryPoint(name="main", command=1), tp.EntryPoint(name="init", command=2)],
        device_config_writes=[tp.DeviceConfigWrite(offset=0x10, value=1)],
        profile_tiles=[tp.TileProfilePlan(physical_tile=t, steps=[tp.ProfileStep(operation="op")]) for t in (0, 1)],
        debug_symbols=[tp.DebugSymbol(name=n, address=4 * k) for k, n in enumerate("abc")],
        debug_regions=[tp.DebugRegion(physical_tile=0, address=0x4C000, size=8, name="r")],
    )


def reorder(record, member, order):
    items = getattr(record, member)
    setattr(record, member, [items[i].copy() for i in order])


def every_keyed_list_rotated(a, b):
    reorder(b.tiles[0], "segments", [1, 2, 0])
    reorder(b, "tiles", [1, 2, 0])
    reorder(b, "inputs", [1, 0])
    reorder(b.host_exchange, "pages", [1, 2, 0])
    reorder(b.host_exchange, "calls", [1, 2, 0])
    reorder(b, "entry_points", [1, 0])
    reorder(b, "profile_tiles", [1, 0])
    reorder(b, "debug_symbols", [1, 2, 0])


def moved_and_changed(a, b):
    reorder(b, "tiles", [1, 2, 0])
    b.tiles[2].entry_point = 0x4C000


def duplicates_first_removed(a, b):
    for app in (a, b):
        app.host_exchange.calls = [call("f", 1), call("f", 2)]
        app.debug_symbols = [tp.DebugSymbol(name="s", address=4), tp.DebugSymbol(name="s", address=8)]
    b.host_exchange.calls = [call("f", 2)]
    b.debug_symbols = [tp.DebugSymbol(name="s", address=8)]


def duplicates_swapped_and_changed(a, b):
    a.host_exchange.calls = [call("f", 1), call("f", 2), call("f", 3)]
    b.host_exchange.calls = [call("f", 1), call("f", 9), call("f", 3)]
    a.entry_points = [tp.EntryPoint(name="e", command=1), tp.EntryPoint(name="e", command=2)]
    b.entry_points = [tp.EntryPoint(name="e", command=2), tp.EntryPoint(name="e", command=1)]


def first_segment_removed(a, b):
    b.tiles[0].segments = [s.copy() for s in b.tiles[0].segments[1:]]


def added_and_removed(a, b):
    b.tiles[1].segments = [segment(0x50000, 32)]
    b.inputs = [b.inputs[1].copy()]
    b.host_exchange.pages = [*(p.copy() for p in b.host_exchange.pages), tp.HostPage(index=7, size=8)]
    b.entry_points = [*(e.copy() for e in b.entry_points), tp.EntryPoint(name="tab\there")]
    b.device_config_writes = []
    b.profile_tiles[1].steps = [b.profile_tiles[1].steps[0].copy(), tp.ProfileStep(local_index=1, operation="op2")]
    b.debug_regions = [b.debug_regions[0].copy(), tp.DebugRegion(physical_tile=2**32 - 1, address=0x60000, size=4,
                                                                 name="all")]


def a_value_of_every_kind_changed(a, b):
    b.compiler_version = 'test "2"'
    b.tiles[1].diagnostic_address = 0x4C010
    b.host_exchange.startup_mark = 5
    b.host_exchange.attach_order = [1]
    b.profile_tiles[0].steps[0].kind = tp.ProfileStepKind.Idle


@pytest.mark.parametrize("change, lines", [
    (lambda a, b: None, []),
    (lambda a, b: reorder(b, "tiles", [1, 0, 2]), ["~ tiles[0] -> [1] (physical_tile 0)"]),
    # Reversed: of the runs of one, the record that kept its position stays unnamed.
    (lambda a, b: reorder(b, "debug_symbols", [2, 1, 0]),
     ['~ debug_symbols[0] -> [2] (name "a")', '~ debug_symbols[2] -> [0] (name "c")']),
    (every_keyed_list_rotated, [
        "~ tiles[0] -> [2] (physical_tile 0)",
        "~ tiles[0].segments[0] -> [2] (address 0x4c000 memory_size 8)",
        '~ inputs[0] -> [1] (name "x")',
        "~ host_exchange.pages[0] -> [2] (index 0)",
        '~ host_exchange.calls[0] -> [2] (name "load")',
        '~ entry_points[0] -> [1] (name "main")',
        "~ profile_tiles[0] -> [1] (physical_tile 0)",
        '~ debug_symbols[0] -> [2] (name "a")',
    ]),
    (moved_and_changed, ["~ tiles[0] -> [2] (physical_tile 0)", "tiles[0].entry_point: 0x0 -> 0x4c000"]),
    (duplicates_first_removed, ['- host_exchange.calls[0] (name "f")', '- debug_symbols[0] (name "s")']),
    (duplicates_swapped_and_changed, [
        "host_exchange.calls[1].command: 2 -> 9",
        '~ entry_points[0] -> [1] (name "e")',
    ]),
    (first_segment_removed, ["- tiles[0].segments[0] (address 0x4c000 memory_size 8)"]),
    (added_and_removed, [
        "+ tiles[1].segments[0] (address 0x50000 memory_size 32)",
        '- inputs[0] (name "x")',
        "+ host_exchange.pages[3] (index 7)",
        '+ entry_points[2] (name "tab\\there")',
        "- device_config_writes[0] (offset 0x10 value 1)",
        '+ profile_tiles[1].steps[1] (local_index 1 operation "op2")',
        '+ debug_regions[1] (physical_tile 4294967295 address 0x60000 size 4 name "all")',
    ]),
    (a_value_of_every_kind_changed, [
        'compiler_version: "test 1.0" -> "test \\"2\\""',
        "tiles[1].diagnostic_address: 0x0 -> 0x4c010",
        "host_exchange.startup_mark: 0 -> 5",
        "host_exchange.attach_order: [0, 1] -> [1]",
        "profile_tiles[0].steps[0].kind: Exchange -> Idle",
    ]),
], ids=["equal", "two tiles swapped", "symbols reversed", "every keyed list rotated", "moved and changed",
        "first of two same names removed", "same names swapped, one of three changed",
        "first of three segments removed", "added and removed records named",
        "a value of every kind changed"])
def test_diff_lines(tmp_path, change, lines):
    a, b = base(), base()
    change(a, b)
    status, out, differ = diff(a, b, tmp_path)
    assert out == lines
    assert status == (1 if differ else 0)
    assert differ == bool(lines)


def test_the_manual_example(tmp_path):
    """The diff example in the manual is what the tool prints for the packages it describes."""
    text = MANUAL.read_text().splitlines()
    start = text.index(r"$ torv\-package diff yesterday.torv today.torv") + 1
    end = next(i for i in range(start, len(text)) if text[i].startswith("."))
    documented = [line.replace(r"\-", "-").replace(r"\(ti", "~").replace(r"\e", "\\") for line in text[start:end]]

    yesterday = tp.Application(
        tiles=[tp.TileImage(physical_tile=0, segments=[segment(0x50000, 16, bytes(range(16)))]),
               tp.TileImage(physical_tile=1, segments=[segment(0x4C000, 8), segment(0x60000, 8)])],
        inputs=[tp.Binding(name="x", dtype="f16", shape=[1, 2])],
        host_exchange=tp.HostExchange(pages=[tp.HostPage(index=0, size=8)],
                                      calls=[call("load", 1), call("load", 2)]),
    )
    today = yesterday.copy()
    today.tiles = [yesterday.tiles[1].copy(), yesterday.tiles[0].copy(), tp.TileImage(physical_tile=77)]
    today.tiles[1].segments[0].data = bytes(range(12)) + b"\xff\0\0\0"
    today.tiles[0].segments = [segment(0x60000, 8)]
    today.inputs[0].shape = [1, 4]
    today.host_exchange.calls = [call("load", 2)]

    status, out, differ = diff(yesterday, today, tmp_path)
    assert (status, differ) == (1, True)
    assert out == documented
