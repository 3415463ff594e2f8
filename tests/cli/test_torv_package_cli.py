"""torv-package's commands, run as a user would, over small packages written with the
library's writer (through the Python module): output, exit status, and JSON read back
with a real parser."""

import base64
import hashlib
import json
import os
import struct
import subprocess

import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]
NAME = 'q"uote \\ tab\t nl\n bell\x07 é ∑'


def run(*args, stdout=subprocess.PIPE):
    done = subprocess.run([TOOL, *map(str, args)], stdout=stdout, stderr=subprocess.PIPE, text=True)
    return done.returncode, done.stdout, done.stderr


def model():
    return tp.Application(
        compiler_version="test 1.0",
        tiles=[
            tp.TileImage(physical_tile=0, segments=[tp.Segment(address=0x50000, memory_size=16, data=bytes(range(16)))]),
            tp.TileImage(physical_tile=1, segments=[tp.Segment(address=0x4C000, memory_size=8),
                                                   tp.Segment(address=0x60000, memory_size=8),
                                                   tp.Segment(address=0xE7000, memory_size=0x1000)]),
        ],
        inputs=[tp.Binding(name="x", dtype="f16", shape=[1, 2],
                           slices=[tp.RegionSlice(tile=0, tile_address=0x60000, file_offset=2**64 - 1, size=64)])],
        debug_symbols=[tp.DebugSymbol(name=NAME, address=4)],
    )


@pytest.fixture
def files(tmp_path):
    good, changed, invalid = tmp_path / "good.torv", tmp_path / "changed.torv", tmp_path / "invalid.torv"
    model().write(good)
    other = model()
    other.tiles[0].segments[0].data = bytes(range(12)) + b"\xff\0\0\0"
    other.inputs[0].shape = [1, 4]
    other.tiles.append(tp.TileImage(physical_tile=9))
    other.write(changed)
    words = struct.pack("<II", 0xE7000, 0x1000)
    invalid.write_bytes(good.read_bytes().replace(words, struct.pack("<II", 0xE7000, 0x2000)))
    return {"good": good, "changed": changed, "invalid": invalid, "missing": tmp_path / "missing.torv"}


INVALID = ('at tiles[1].segments[2]: Invalid("invalid segment on tile 1: address=0xe7000 end=0xe9000 '
           'memory_size=8192 data_size=0")')


@pytest.mark.parametrize("args, status, out, err", [
    (["check", "good"], 0, ["{good}: ok"], None),
    (["check", "good", "invalid", "missing"], 1,
     ["{good}: ok", "{invalid}: " + INVALID,
      '{missing}: Io(Os { code: 2, message: "No such file or directory" })'], None),
    (["diff", "good", "good"], 0, [], None),
    (["diff", "good", "changed"], 1,
     ["tiles[0].segments[0].data: first difference at 0x05000c: 0f0e0d0c -> 000000ff",
      "+ tiles[2] (physical_tile 9)", "inputs[0].shape: [1, 2] -> [1, 4]"], None),
    (["diff", "good", "invalid"], 2, [], "torv-package: cannot read package {invalid}: " + INVALID),
    (["info", "missing"], 2, [],
     'torv-package: cannot read package {missing}: Io(Os { code: 2, message: "No such file or directory" })'),
    (["json", "invalid"], 2, [], "torv-package: cannot read package {invalid}: " + INVALID),
    (["check"], 2, [], None),
    (["json", "--data=text", "good"], 2, [], None),
    (["frobnicate"], 2, [], None),
    (["--version"], 0, ["torv-package 0.1.0"], None),
])
def test_commands_and_exit_statuses(files, args, status, out, err):
    names = {k: str(v) for k, v in files.items()}

    def fill(text):
        for key, path in names.items():
            text = text.replace("{" + key + "}", path)
        return text

    code, stdout, stderr = run(*[names.get(a, a) for a in args])
    assert code == status, stderr
    if out or status != 0:
        assert stdout.splitlines() == [fill(line) for line in out]
    if err is not None:
        assert stderr == fill(err) + "\n"


def test_help_for_the_tool_and_each_command():
    for args in ([], ["info"], ["check"], ["json"], ["diff"]):
        code, stdout, _ = run(*args, "--help")
        assert code == 0 and "Usage:" in stdout


def test_info_summarises(files):
    code, out, _ = run("info", files["good"])
    assert code == 0
    lines = out.splitlines()
    assert "compiler version  test 1.0" in lines
    assert "tiles             2" in lines
    assert "  total                      4              16            4128" in lines
    assert max(map(len, lines)) <= 80


@pytest.mark.parametrize("form, decode", [
    ("summary", None),
    ("hex", bytes.fromhex),
    ("base64", base64.b64decode),
])
def test_json_is_the_model(files, form, decode):
    code, out, _ = run("json", f"--data={form}", files["good"])
    assert code == 0
    doc = json.loads(out)
    app = model()
    assert doc["compiler_version"] == "test 1.0"
    assert [t["physical_tile"] for t in doc["tiles"]] == [0, 1]
    assert doc["inputs"][0]["slices"][0]["file_offset"] == 2**64 - 1  # exact beyond 53 bits
    assert doc["debug_symbols"][0]["name"] == NAME
    data = doc["tiles"][0]["segments"][0]["data"]
    expected = bytes(app.tiles[0].segments[0].data)
    if decode is None:
        assert data == {"size": 16, "sha256": hashlib.sha256(expected).hexdigest()}
    else:
        assert decode(data) == expected
    assert doc["tiles"][1]["segments"][0]["data"] in ({"size": 0, "sha256": hashlib.sha256(b"").hexdigest()}, "")


def test_failed_write_is_a_report(files):
    with open("/dev/full", "w") as full:
        code, _, err = run("json", files["good"], stdout=full)
    assert code == 2
    assert err.startswith("torv-package: cannot write to stdout: Os { code: 28,")
