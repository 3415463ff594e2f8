"""torv-package's commands, run as a user would, over small packages written with the
library's writer (through the Python module): output, exit status, and JSON read back
with a real parser."""

import base64
import hashlib
import json
import os
import resource
import select
import struct
import subprocess
import unicodedata

import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]
NAME = 'q"uote \\ tab\t nl\n bell\x07 é ∑'
HINT = "Run with --help for more information."


def run(*args, stdout=subprocess.PIPE, **options):
    done = subprocess.run([TOOL, *map(str, args)], stdout=stdout, stderr=subprocess.PIPE, text=True, **options)
    return done.returncode, done.stdout, done.stderr


def shown(path):
    """A path as the tool prints it, for the paths these tests make: a newline or a byte
    that is not UTF-8 (a surrogate escape here) makes it quoted and escaped."""
    text = str(path)
    escaped = text.replace("\n", "\\n")
    escaped = "".join(f"\\x{{{ord(c) - 0xDC00:x}}}" if 0xDC80 <= ord(c) <= 0xDCFF else c for c in escaped)
    return text if escaped == text else f'"{escaped}"'


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
    paths = {"good": good, "changed": changed, "invalid": invalid, "missing": tmp_path / "missing.torv",
             "newline": tmp_path / "new\nline.torv", "not_utf8": tmp_path / "byte\udcff.torv",
             "trailing": tmp_path / "trailing.torv", "trailing1": tmp_path / "trailing1.torv",
             "newline_missing": tmp_path / "missing\n.torv", "invalid_trailing": tmp_path / "invalid3.torv"}
    for name in ("newline", "not_utf8"):
        paths[name].write_bytes(good.read_bytes())
    paths["trailing"].write_bytes(good.read_bytes() + bytes(9))
    paths["trailing1"].write_bytes(good.read_bytes() + b"x")
    paths["invalid_trailing"].write_bytes(invalid.read_bytes() + b"abc")
    return paths


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
    (["check"], 2, [], "torv-package: PACKAGE is required\n" + HINT),
    (["json", "--data=text", "good"], 2, [], "torv-package: --data: 'text' not in {summary,hex,base64}\n" + HINT),
    (["json", "--data=", "good"], 2, [], "torv-package: empty value for option '--data'\n" + HINT),
    (["frobnicate"], 2, [], "torv-package: unknown command 'frobnicate'\n" + HINT),
    (["check", "--bogus=1", "good"], 2, [], "torv-package: unknown option '--bogus'\n" + HINT),
    (["info", "good", "good"], 2, [], "torv-package: unexpected argument '{good}'\n" + HINT),
    ([], 2, [], "torv-package: missing command: info, check, json, diff, build or map\n" + HINT),
    (["--version"], 0, ["torv-package 0.1.0"], None),
    # Bytes after the message: a warning, the status and the line unchanged.
    (["check", "trailing", "trailing1"], 0, ["{trailing}: ok", "{trailing1}: ok"],
     "torv-package: warning: {trailing}: 9 bytes follow the package message\n"
     "torv-package: warning: {trailing1}: 1 byte follows the package message"),
    (["check", "invalid_trailing"], 1, ["{invalid_trailing}: " + INVALID],
     "torv-package: warning: {invalid_trailing}: 3 bytes follow the package message"),
    # Paths are escaped: one line each, and valid UTF-8.
    (["check", "newline", "not_utf8"], 0, ["{newline}: ok", "{not_utf8}: ok"], ""),
    (["info", "newline_missing"], 2, [],
     'torv-package: cannot read package {newline_missing}: Io(Os { code: 2, message: "No such file or directory" })'),
    (["diff", "good", "newline_missing"], 2, [],
     'torv-package: cannot read package {newline_missing}: Io(Os { code: 2, message: "No such file or directory" })'),
])
def test_commands_and_exit_statuses(files, args, status, out, err):
    names = {k: str(v) for k, v in files.items()}

    def fill(text):
        for key, path in names.items():
            text = text.replace("{" + key + "}", shown(path))
        return text

    code, stdout, stderr = run(*[names.get(a, a) for a in args])
    assert code == status, stderr
    if out or status != 0:
        assert stdout.splitlines() == [fill(line) for line in out]
    if err is not None:
        assert stderr == (fill(err) + "\n" if err else "")


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
    assert "trailing bytes    0" in lines
    assert "  total                      4              16            4128" in lines
    assert max(map(len, lines)) <= 80


def columns(line):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)


def rename_input(name):
    def change(app):
        app.inputs[0].name = name
    return change


def set_pages(app):
    app.host_exchange = tp.HostExchange(pages=[tp.HostPage(index=0, size=2**64 - 1), tp.HostPage(index=1, size=2)])


def set_compiler(app):
    app.compiler_version = "v" * 100


INPUT_REST = " f16      [1, 2]                1            64"


@pytest.mark.parametrize("file, change, extra, line", [
    # Names are cut between characters, by display width, and end in "...".
    ("p.torv", rename_input("é" * 30), b"", "  input  " + "é" * 21 + "..." + INPUT_REST),
    ("p.torv", rename_input("漢字" * 10), b"", "  input  " + "漢字" * 5 + "... " + INPUT_REST),
    ("p.torv", rename_input("😀" * 20), b"", "  input  " + "😀" * 10 + "... " + INPUT_REST),
    # Sums cannot wrap.
    ("p.torv", set_pages, b"", "  page bytes      18446744073709551617"),
    # Long text and paths are cut, with a mark.
    ("p.torv", set_compiler, b"", "compiler version  " + "v" * 59 + "..."),
    ("p" * 120 + ".torv", None, b"", "package           {path:.59}..."),
    ("p.torv", None, bytes(9), "trailing bytes    9"),
], ids=["two-byte characters", "wide characters", "emoji", "page sum", "compiler version", "path", "trailing bytes"])
def test_info_lines(tmp_path, file, change, extra, line):
    app = model()
    if change:
        change(app)
    path = tmp_path / file
    app.write(path)
    path.write_bytes(path.read_bytes() + extra)
    done = subprocess.run([TOOL, "info", str(path)], capture_output=True)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode("utf-8").splitlines()  # strictly: no sequence cut in two
    assert line.format(path=str(path)) in lines
    assert max(map(columns, lines)) <= 80


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


@pytest.mark.parametrize("args", [["json", "good"], ["info", "good"], ["check", "good"], ["diff", "good", "changed"],
                                  ["--version"], ["--help"], ["info", "--help"]])
def test_failed_write_is_a_report(files, args):
    with open("/dev/full", "w") as full:
        code, _, err = run(*[files.get(a, a) for a in args], stdout=full)
    assert code == 2
    assert err == 'torv-package: cannot write to stdout: Os { code: 28, message: "No space left on device" }\n'


@pytest.mark.parametrize("args", [["json", "good"], ["info", "good"], ["check", "good", "good"]])
def test_file_size_limit_is_a_write_failure(files, tmp_path, args):
    # Python ignores SIGXFSZ; restore_signals gives the tool the default disposition, which
    # would kill it at the limit had it not ignored the signal itself.
    limit = 64

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    with open(tmp_path / "out", "w") as out:
        code, _, err = run(*[files.get(a, a) for a in args], stdout=out, preexec_fn=limit_file_size,
                           restore_signals=True)
    assert code == 2, f"status {code}: {err}"
    assert err == 'torv-package: cannot write to stdout: Os { code: 27, message: "File too large" }\n'
    assert (tmp_path / "out").stat().st_size == limit


def test_check_writes_each_line_when_its_package_is_done(files, tmp_path):
    # The second package is a FIFO: the tool waits in open() until it is written, so the
    # first line can only be read by then if it was not held in a buffer.
    fifo = tmp_path / "fifo.torv"
    os.mkfifo(fifo)
    tool = subprocess.Popen([TOOL, "check", str(files["good"]), str(fifo)], stdout=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([tool.stdout], [], [], 30)
        assert ready, "no line before the second package was read"
        assert tool.stdout.readline() == f"{files['good']}: ok\n"
        fifo.write_bytes(files["good"].read_bytes())
        rest, _ = tool.communicate(timeout=60)
    finally:
        tool.kill()
        tool.wait()
    assert rest == f"{fifo}: ok\n"
    assert tool.returncode == 0


# From a stream, what follows the message is counted as far as it is ready: a writer
# that keeps its end open must not hold the tool up.
@pytest.mark.parametrize("command, after, expected", [
    ("check", b"", ""),
    ("check", b"12345", "torv-package: warning: /dev/stdin: at least 5 bytes follow the package message\n"),
    ("info", b"12345", "trailing bytes    at least 5"),
])
def test_streams_are_not_read_to_their_end(command, after, expected):
    package = model().to_bytes()
    read_end, write_end = os.pipe()
    os.write(write_end, package + after)  # and the write end stays open
    try:
        tool = subprocess.run([TOOL, command, "/dev/stdin"], stdin=read_end, capture_output=True, text=True,
                              timeout=30)
    finally:
        os.close(read_end)
        os.close(write_end)
    assert tool.returncode == 0, tool.stderr
    if command == "check":
        assert tool.stdout == "/dev/stdin: ok\n"
        assert tool.stderr == expected
    else:
        assert expected in tool.stdout.splitlines()
