"""torv-package strip and set: each change read back, every other field and every data
byte as they were, the bytes the library's writer gives for the same model; refusals
with their statuses, and nothing written for them."""

import os
import re
import shutil
import stat
import struct
import subprocess

import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]
SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]


def run(*args):
    done = subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True)
    return done.returncode, done.stderr


def place(app, path):
    """The record holding the member `path` names, and the member's name."""
    *steps, last = path.split(".")
    record = app
    for step in steps:
        name, index = re.fullmatch(r"(\w+)(?:\[(\d+)\])?", step).groups()
        record = getattr(record, name)
        if index is not None:
            record = record[int(index)]
    return record, last


def strip(debug=True, profile=True):
    def change(app):
        if debug:
            app.debug_symbols, app.debug_regions = [], []
        if profile:
            app.profile_tiles = []
    return change


# (arguments after PACKAGE, the change in Python, {path: value read back} for set)
CHANGES = [
    (["strip"], strip(), {}),
    (["strip", "--debug"], strip(profile=False), {}),
    (["strip", "--profile"], strip(debug=False), {}),
    (["strip", "--debug", "--profile"], strip(), {}),
    (["set", "tiles[1].entry_point=0x4c100"], None, {"tiles[1].entry_point": 0x4C100}),
    (["set", "host_exchange.calls[0].name=fetch"], None, {"host_exchange.calls[0].name": "fetch"}),
    (["set", "profile_tiles[0].steps[1].kind=Compute"], None,
     {"profile_tiles[0].steps[1].kind": tp.ProfileStepKind.Compute}),
    (["set", "weights[0].slices[0].file_offset=18446744073709551615", "compiler_version=édité ∑",
      "host_exchange.command_offset=0X10"], None,
     {"weights[0].slices[0].file_offset": 2**64 - 1, "compiler_version": "édité ∑", "host_exchange.command_offset": 16}),
    (["set", "tiles[0].entry_point=1", "tiles[0].entry_point=2"], None, {"tiles[0].entry_point": 2}),
    (["set", "entry_points[0].name="], None, {"entry_points[0].name": ""}),
]


@pytest.mark.parametrize("args, change, values", CHANGES)
@pytest.mark.parametrize("to", ["-o", "-i"])
def test_a_change_is_written_as_the_writer_writes_the_changed_model(tmp_path, args, change, values, to):
    package = tmp_path / "p.torv"
    shutil.copyfile(SAMPLE, package)
    os.chmod(package, 0o640)
    out = tmp_path / "out.torv" if to == "-o" else package
    command, *rest = args
    status, err = run(command, package, *rest, *(["-o", out] if to == "-o" else ["-i"]))
    assert (status, err) == (0, "")
    expected = tp.read(SAMPLE)
    if change:
        change(expected)
    for path, value in values.items():
        record, name = place(expected, path)
        setattr(record, name, value)
    got = tp.read(out)
    for path, value in values.items():
        record, name = place(got, path)
        assert getattr(record, name) == value, path
    assert got == expected  # every other field, every data byte
    assert out.read_bytes() == expected.to_bytes()
    if to == "-i":
        assert stat.S_IMODE(os.stat(out).st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == sorted({"p.torv", out.name})  # no temporary file left


REFUSED_MODEL = "{p}: tiles[1]: duplicate physical tile 0"
VALUES = "set changes numbers, enums and texts (json and build change the rest)"


# (arguments, status, report after "torv-package: ")
@pytest.mark.parametrize("args, status, report", [
    (["set", "{p}", "tiles[9].entry_point=1", "-o", "{o}"], 2,
     "'tiles[9].entry_point=1': tiles[9] is not in the package: tiles has 3 elements"),
    (["set", "{p}", "tiles[0].bogus=1", "-o", "{o}"], 2, "'tiles[0].bogus=1': tiles[0] has no member 'bogus'"),
    (["set", "{p}", "tiles=1", "-o", "{o}"], 2, f"'tiles=1': tiles is a list; {VALUES}"),
    (["set", "{p}", "inputs[0].shape[0]=1", "-o", "{o}"], 2, f"'inputs[0].shape[0]=1': inputs[0].shape is a list; {VALUES}"),
    (["set", "{p}", "tiles[0].segments[0].data=00", "-o", "{o}"], 2,
     f"'tiles[0].segments[0].data=00': tiles[0].segments[0].data is bytes; {VALUES}"),
    (["set", "{p}", "host_exchange=1", "-o", "{o}"], 2, "'host_exchange=1': host_exchange is a record; name one of its members"),
    (["set", "{p}", "tiles.entry_point=1", "-o", "{o}"], 2,
     "'tiles.entry_point=1': tiles is a list: name a position in it, as in tiles[0]"),
    (["set", "{p}", "tiles[0].entry_point=0x100000000", "-o", "{o}"], 2,
     "'tiles[0].entry_point=0x100000000': '0x100000000' is not a number from 0 to 0xffffffff (decimal, or hex after 0x)"),
    (["set", "{p}", "tiles[0].entry_point=-1", "-o", "{o}"], 2,
     "'tiles[0].entry_point=-1': '-1' is not a number from 0 to 0xffffffff (decimal, or hex after 0x)"),
    (["set", "{p}", "profile_tiles[0].steps[1].kind=compute", "-o", "{o}"], 2,
     "'profile_tiles[0].steps[1].kind=compute': 'compute' is not a ProfileStepKind: "
     "Exchange, Compute, Synchronization or Idle"),
    (["set", "{p}", "tiles[0]", "-o", "{o}"], 2, "'tiles[0]': expected PATH=VALUE"),
    (["set", "{p}", "tiles[0]]=1", "-o", "{o}"], 2, "'tiles[0]]=1': the path is not a location such as tiles[3].entry_point"),
    (["set", "{p}", "tiles[1].physical_tile=0", "-o", "{o}"], 1, REFUSED_MODEL),
    (["set", "{p}", "tiles[1].physical_tile=0", "-i"], 1, REFUSED_MODEL),
    (["strip", "{p}"], 2, "give -o PACKAGE to write, or -i to replace PACKAGE\nRun with --help for more information."),
    (["strip", "{p}", "-o", "{p}"], 2, "output {p} is the same file as input {p}; write to another file"),
    (["strip", "{missing}", "-o", "{o}"], 2, "{missing}: cannot open: No such file or directory"),
    (["strip", "{refused}", "-o", "{o}"], 1,
     "{refused}: tiles[0].segments[0]: invalid segment on tile 1: address=0xe7000 end=0xe9000 memory_size=8192 "
     "data_size=0"),
    (["strip", "-", "-i"], 2, "-i cannot replace standard input; give -o PACKAGE\nRun with --help for more information."),
])
def test_refusals_write_nothing(tmp_path, args, status, report):
    names = {"p": tmp_path / "p.torv", "o": tmp_path / "out.torv", "missing": tmp_path / "missing.torv",
             "refused": tmp_path / "refused.torv"}
    shutil.copyfile(SAMPLE, names["p"])
    # A segment that leaves tile memory, which the writer would not write: patched in.
    words = struct.pack("<II", 0xE7000, 0x1000)
    valid = tp.Application(tiles=[tp.TileImage(physical_tile=1, segments=[tp.Segment(address=0xE7000, memory_size=0x1000)])])
    names["refused"].write_bytes(valid.to_bytes().replace(words, struct.pack("<II", 0xE7000, 0x2000)))
    before = {name: path.read_bytes() for name, path in names.items() if path.exists()}
    code, err = run(*[a.format(**names) for a in args])
    assert (code, err) == (status, "torv-package: " + report.format(**names) + "\n")
    assert {name: path.read_bytes() for name, path in names.items() if path.exists()} == before
    assert sorted(os.listdir(tmp_path)) == ["p.torv", "refused.torv"]
