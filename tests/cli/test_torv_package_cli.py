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
    # An overlap on tile 1 and an empty debug region.
    two = tmp_path / "two.torv"
    region = model()
    region.debug_regions = [tp.DebugRegion(physical_tile=0, address=0xABCDE0, size=0x1234567, name="r")]
    patched = region.to_bytes().replace(struct.pack("<II", 0x4C000, 8), struct.pack("<II", 0x4C000, 0x20000))
    two.write_bytes(patched.replace(struct.pack("<II", 0xABCDE0, 0x1234567), struct.pack("<II", 0xABCDE0, 0)))
    # 1001 unaligned configuration writes: one fault each, more than a JSON line carries.
    many = tmp_path / "many.torv"
    writes = model()
    writes.device_config_writes = [tp.DeviceConfigWrite(offset=0x1000 + 4 * k, value=0xC0FFEE00 + k) for k in range(1001)]
    data = writes.to_bytes()
    for k in range(1001):
        data = data.replace(struct.pack("<II", 0x1000 + 4 * k, 0xC0FFEE00 + k), struct.pack("<II", 0x1001 + 4 * k, 0))
    many.write_bytes(data)
    # A name holding what an escape looks like.
    renamed = tmp_path / "renamed.torv"
    backslash = model()
    backslash.inputs[0].name = "a\\x{41}"
    backslash.write(renamed)
    paths = {"good": good, "changed": changed, "invalid": invalid, "missing": tmp_path / "missing.torv",
             "newline": tmp_path / "new\nline.torv", "not_utf8": tmp_path / "byte\udcff.torv",
             "trailing": tmp_path / "trailing.torv", "trailing1": tmp_path / "trailing1.torv",
             "newline_missing": tmp_path / "missing\n.torv", "invalid_trailing": tmp_path / "invalid3.torv",
             "two": two, "many": many, "renamed": renamed, "folder": tmp_path, "text": tmp_path / "passwd"}
    paths["text"].write_text("root:x:0:0:root:/root:/bin/bash\n")
    for name in ("newline", "not_utf8"):
        paths[name].write_bytes(good.read_bytes())
    paths["trailing"].write_bytes(good.read_bytes() + bytes(9))
    paths["trailing1"].write_bytes(good.read_bytes() + b"x")
    paths["invalid_trailing"].write_bytes(invalid.read_bytes() + b"abc")
    return paths


INVALID = "tiles[1].segments[2]: invalid segment on tile 1: address=0xe7000 end=0xe9000 memory_size=8192 data_size=0"
MISSING = "cannot open: No such file or directory"


@pytest.mark.parametrize("args, status, out, err", [
    (["check", "good"], 0, ["{good}: ok"], None),
    # 0 every package valid, 1 any refused, 2 any that could not be read at all.
    (["check", "good", "invalid"], 1, ["{good}: ok", "{invalid}: " + INVALID], "torv-package: 2 packages, 1 refused"),
    (["check", "good", "invalid", "missing"], 2, ["{good}: ok", "{invalid}: " + INVALID, "{missing}: " + MISSING],
     "torv-package: 3 packages, 1 refused, 1 could not be read"),
    (["check", "folder"], 2, ["{folder}: cannot read: Is a directory"], ""),
    (["check", "text"], 1, ["{text}: not a package: message has 1953460083 segments; at most 511 are allowed"], ""),
    (["check", "--strict", "good", "trailing", "trailing1"], 1,
     ["{good}: ok", "{trailing}: 9 bytes follow the package message", "{trailing1}: 1 byte follows the package message"],
     "torv-package: 3 packages, 2 refused"),
    (["check", "--strict", "--all", "invalid_trailing"], 1,
     ["{invalid_trailing}: " + INVALID, "{invalid_trailing}: 3 bytes follow the package message"], ""),
    (["diff", "good", "good"], 0, [], None),
    (["diff", "good", "changed"], 1,
     ["tiles[0].segments[0].data: first difference at 0x05000c: 0f0e0d0c -> 000000ff",
      "+ tiles[2] (physical_tile 9)", "inputs[0].shape: [1, 2] -> [1, 4]"], None),
    (["diff", "good", "invalid"], 2, [], "torv-package: {invalid}: " + INVALID),
    (["info", "missing"], 2, [], "torv-package: {missing}: " + MISSING),
    (["json", "invalid"], 2, [], "torv-package: {invalid}: " + INVALID),
    (["check"], 2, [], "torv-package: PACKAGE is required\n" + HINT),
    (["json", "--data=text", "good"], 2, [], "torv-package: --data: 'text' not in {summary,hex,base64,none}\n" + HINT),
    (["json", "--data=", "good"], 2, [], "torv-package: empty value for option '--data'\n" + HINT),
    (["frobnicate"], 2, [], "torv-package: unknown command 'frobnicate'\n" + HINT),
    (["check", "--bogus=1", "good"], 2, [], "torv-package: unknown option '--bogus'\n" + HINT),
    # A count of lines is digits that fit: no sign, nothing wrapped.
    (["diff", "--max-lines", "-1", "good", "changed"], 2, [],
     "torv-package: --max-lines: '-1' is not a count from 0 to 18446744073709551615\n" + HINT),
    (["diff", "--max-lines=99999999999999999999999", "good", "changed"], 2, [],
     "torv-package: --max-lines: '99999999999999999999999' is not a count from 0 to 18446744073709551615\n" + HINT),
    (["diff", "--max-lines", "18446744073709551615", "good", "changed"], 1,
     ["tiles[0].segments[0].data: first difference at 0x05000c: 0f0e0d0c -> 000000ff",
      "+ tiles[2] (physical_tile 9)", "inputs[0].shape: [1, 2] -> [1, 4]"], ""),
    (["info", "good", "good"], 2, [], "torv-package: unexpected argument '{good}'\n" + HINT),
    ([], 2, [], "torv-package: missing command: info, check, json, diff, build, map, extract, strip or set\n" + HINT),
    (["--version"], 0, ["torv-package 0.1.0"], None),
    # Bytes after the message: a warning, the status and the line unchanged.
    (["check", "trailing", "trailing1"], 0, ["{trailing}: ok", "{trailing1}: ok"],
     "torv-package: warning: {trailing}: 9 bytes follow the package message\n"
     "torv-package: warning: {trailing1}: 1 byte follows the package message\n"
     "torv-package: 2 packages, 0 refused"),
    (["check", "invalid_trailing"], 1, ["{invalid_trailing}: " + INVALID],
     "torv-package: warning: {invalid_trailing}: 3 bytes follow the package message"),
    # Paths are escaped: one line each, and valid UTF-8.
    (["check", "newline", "not_utf8"], 0, ["{newline}: ok", "{not_utf8}: ok"], "torv-package: 2 packages, 0 refused"),
    (["info", "newline_missing"], 2, [], "torv-package: {newline_missing}: " + MISSING),
    (["diff", "good", "newline_missing"], 2, [], "torv-package: {newline_missing}: " + MISSING),
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
    assert "  total                      4            16 B         4.0 KiB" in lines
    assert max(map(len, lines)) <= 80


def columns(line):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)


def rename_input(name):
    def change(app):
        app.inputs[0].name = name
    return change


def set_pages(app):
    app.host_exchange = tp.HostExchange(pages=[tp.HostPage(index=0, size=2**64 - 1), tp.HostPage(index=1, size=2)])


def set_binding_type(app):
    app.inputs[0].dtype = "float8_e4m3fn"
    app.inputs[0].shape = [64, 3, 224, 224]


def number_tiles(*numbers):
    def change(app):
        app.tiles = [tp.TileImage(physical_tile=n) for n in numbers]
        app.inputs[0].slices[0].tile = numbers[0]
    return change


def set_compiler(app):
    app.compiler_version = "v" * 100


INPUT_REST = " f16           [1, 2]" + " " * 17 + "1       64 B"


@pytest.mark.parametrize("file, change, extra, line", [
    # Names are cut between characters, by display width, and end in "...".
    ("p.torv", rename_input("é" * 30), b"", "  input  " + "é" * 18 + "..." + INPUT_REST),
    ("p.torv", rename_input("漢字" * 10), b"", "  input  " + "漢字" * 4 + "漢..." + INPUT_REST),
    ("p.torv", rename_input("😀" * 20), b"", "  input  " + "😀" * 9 + "..." + INPUT_REST),
    # Columns hold common dtype names and 4-D shapes.
    ("p.torv", set_binding_type, b"",
     "  input  x                     float8_e4m3fn [64, 3, 224, 224]      1       64 B"),
    # Sums cannot wrap.
    ("p.torv", set_pages, b"", "  page bytes      16.0 EiB (18446744073709551617 bytes)"),
    # Long text and paths are cut, with a mark.
    ("p.torv", set_compiler, b"", "compiler version  " + "v" * 59 + "..."),
    ("p" * 120 + ".torv", None, b"", "package           {path:.59}..."),
    ("p.torv", None, bytes(9), "trailing bytes    9"),
    # The file and its header; the tile numbers with their gaps; the fullest tile first.
    ("p.torv", None, bytes(9), "file size         {size} B"),
    ("p.torv", None, b"", "header            schema 4, target torv21, tile memory 0x4c000..0xe8000"),
    ("p.torv", number_tiles(0, 5, 9), b"", "tile numbers      0..9, 7 missing: 1..4 6..8"),
    ("p.torv", number_tiles(*range(0, 2000000, 100000)), b"",
     "tile numbers      0..1900000, 1899981 missing: 1..99999 and 18 more gaps"),
    ("p.torv", None, b"", "           1         4.0 KiB        0.6%"),
], ids=["two-byte characters", "wide characters", "emoji", "dtype and shape", "page sum", "compiler version", "path",
        "trailing bytes", "file size", "header", "tile gaps", "many tile gaps", "occupancy"])
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
    assert line.format(path=str(path), size=path.stat().st_size) in lines
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
    assert err == "torv-package: cannot write to standard output: No space left on device\n"


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
    assert err == "torv-package: cannot write to standard output: File too large\n"
    assert (tmp_path / "out").stat().st_size == limit


# Every command that writes to standard output, with an output longer than a pipe holds,
# so that the tool is still writing when head has gone.
@pytest.mark.parametrize("args", [["json", "--data=hex", "big"], ["check", "--all", "many"], ["info", "--all", "wide"],
                                  ["diff", "good", "wide"], ["map", "wide"], ["build", "big.json"]])
def test_a_closed_pipe_ends_the_tool_quietly_by_sigpipe(files, tmp_path, args):
    big, wide = tmp_path / "big.torv", tmp_path / "wide.torv"
    tp.Application(tiles=[tp.TileImage(segments=[tp.Segment(address=0x4C000, memory_size=0x9C000,
                                                           data=bytes(0x9C000))])]).write(big)
    tp.Application(tiles=[tp.TileImage(physical_tile=k) for k in range(3000)]).write(wide)
    with open(tmp_path / "big.json", "w") as document:
        subprocess.run([TOOL, "json", "--data=hex", big], stdout=document, check=True)
    names = {**{k: str(v) for k, v in files.items()}, "big": str(big), "wide": str(wide),
             "big.json": str(tmp_path / "big.json")}
    command = " ".join(f"'{a}'" for a in [TOOL, *(names.get(a, a) for a in args)])
    done = subprocess.run(["bash", "-c", f"set -o pipefail; {command} | head -c1 >/dev/null"],
                          capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (128 + 13, "")


@pytest.mark.parametrize("form", ["summary", "hex"])
def test_json_to_a_file_is_what_it_writes_to_standard_output(files, tmp_path, form):
    code, out, err = run("json", f"--data={form}", files["good"], "-o", tmp_path / "p.json")
    assert (code, out, err) == (0, "", "")
    assert (tmp_path / "p.json").read_text() == run("json", f"--data={form}", files["good"])[1]


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


TWO_FAULTS = ["{two}: tiles[1]: overlapping segments on tile 1: 0x4c000..0x6c000 and 0x60000..0x60008",
              "{two}: debug_regions[0]: invalid package debug map"]
CHANGED = ["tiles[0].segments[0].data: first difference at 0x05000c: 0f0e0d0c -> 000000ff",
           "+ tiles[2] (physical_tile 9)", "inputs[0].shape: [1, 2] -> [1, 4]"]


# One row per feature for daily use: every fault at once, standard input as "-", check's
# quiet mode and summary, diff's status-only mode and its line limit.
@pytest.mark.parametrize("args, stdin, status, out, err", [
    (["check", "--all", "two"], None, 1, TWO_FAULTS, ""),
    (["check", "two"], None, 1, TWO_FAULTS[:1], ""),
    (["check", "-", "good"], "good", 0, ["-: ok", "{good}: ok"], "torv-package: 2 packages, 0 refused"),
    (["check", "-q", "good", "invalid", "good"], None, 1, ["{invalid}: " + INVALID],
     "torv-package: 3 packages, 1 refused"),
    (["diff", "-", "changed"], "good", 1, CHANGED, ""),
    (["diff", "-", "-"], "good", 2, [], "torv-package: standard input can be one side of diff, not both"),
    (["diff", "-q", "good", "changed"], None, 1, [], ""),
    (["diff", "--max-lines", "1", "good", "changed"], None, 1, CHANGED[:1],
     "torv-package: 2 more differences not shown (--max-lines 1)"),
    (["info", "-"], "good", 0, None, ""),
])
def test_daily_use(files, args, stdin, status, out, err):
    names = {k: str(v) for k, v in files.items()}

    def fill(text):
        for key, path in names.items():
            text = text.replace("{" + key + "}", shown(path))
        return text

    with open(files[stdin] if stdin else os.devnull, "rb") as source:
        code, stdout, stderr = run(*[names.get(a, a) for a in args], stdin=source)
    assert code == status, stderr
    if out is not None:
        assert stdout.splitlines() == [fill(line) for line in out]
    else:
        assert stdout.splitlines()[0] == "package           -"
    assert stderr == (fill(err) + "\n" if err else "")


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


# Every JSON form, read back with a real parser.
@pytest.mark.parametrize("args, stdin, status, parse, expect", [
    (["info", "--json", "good"], None, 0, json.loads, lambda d, f: (
        d["file_size"] == f["good"].stat().st_size and d["trailing_bytes"] == 0 and
        d["header"] == {"schema_version": 4, "target": "torv21", "tile_memory_base": 0x4C000,
                        "tile_memory_size": 0x9C000} and
        d["tiles"] == {"count": 2, "first": 0, "last": 1, "gaps": []} and
        [(t["physical_tile"], t["memory_bytes"]) for t in d["occupancy"]] == [(1, 4112), (0, 16)] and
        d["bindings"][0] == {"kind": "input", "name": "x", "dtype": "f16", "shape": [1, 2], "slices": 1, "bytes": 64})),
    (["info", "--json", "-"], "good", 0, json.loads, lambda d, f: d["path"] == "-" and d["trailing_bytes_exact"]),
    (["check", "--json", "good", "invalid_trailing"], None, 1, json_lines, lambda d, f: d == [
        {"path": str(f["good"]), "ok": True, "error": None, "errors": [], "errors_not_shown": 0,
         "trailing_bytes": 0, "trailing_bytes_exact": True},
        {"path": str(f["invalid_trailing"]), "ok": False,
         "error": {"kind": "Invalid", "location": "tiles[1].segments[2]", "debug": 'Invalid("' + INVALID.split(": ", 1)[1] + '")',
                   "message": INVALID.split(": ", 1)[1]},
         "errors": [d[1]["error"]], "errors_not_shown": 0, "trailing_bytes": 3, "trailing_bytes_exact": True}]),
    # A JSON line carries at most 1000 faults and counts the rest.
    (["check", "--json", "--all", "many"], None, 1, json_lines, lambda d, f: (
        len(d[0]["errors"]) == 1000 and d[0]["errors_not_shown"] == 1 and
        d[0]["errors"][999]["location"] == "device_config_writes[999]")),
    (["check", "--json", "--all", "-q", "good", "two"], None, 1, json_lines, lambda d, f: (
        len(d) == 1 and [e["location"] for e in d[0]["errors"]] == ["tiles[1]", "debug_regions[0]"])),
    (["diff", "--json", "good", "changed"], None, 1, json.loads, lambda d, f: d == [
        {"operation": "data", "path": "tiles[0].segments[0].data", "identity": "", "old": "0f0e0d0c",
         "new": "000000ff", "detail": "first difference at 0x05000c"},
        {"operation": "add", "path": "tiles[2]", "identity": "physical_tile 9", "old": "", "new": ""},
        {"operation": "change", "path": "inputs[0].shape", "identity": "", "old": "[1, 2]", "new": "[1, 4]"}]),
    # An identity is the text its line shows, escaped once.
    (["diff", "--json", "good", "renamed"], None, 1, json.loads, lambda d, f: [e["identity"] for e in d] == [
        'name "x"', 'name "a\\\\x{41}"']),
    (["json", "--compact", "--data=none", "good"], None, 0, json_lines, lambda d, f: (
        len(d) == 1 and d[0]["tiles"][0]["segments"][0]["data"] == {"size": 16})),
])
def test_json_forms(files, args, stdin, status, parse, expect):
    with open(files[stdin] if stdin else os.devnull, "rb") as source:
        code, out, err = run(*[str(files.get(a, a)) for a in args], stdin=source)
    assert code == status, err
    assert expect(parse(out), files)


@pytest.mark.parametrize("options, shown_rows, left_line", [
    ([], 20, "  ... 5 more bindings (--all shows every one)"),
    (["--all"], 25, None),
])
def test_long_tables_are_capped(tmp_path, options, shown_rows, left_line):
    app = model()
    app.weights = [tp.Binding(name=f"w{i}", dtype="f32", shape=[1]) for i in range(24)]
    app.write(tmp_path / "many.torv")
    code, out, _ = run("info", *options, tmp_path / "many.torv")
    assert code == 0
    lines = out.splitlines()
    assert sum(line.startswith(("  input ", "  weight ")) for line in lines) == shown_rows
    assert (left_line in lines) if left_line else not any("more bindings" in line for line in lines)
