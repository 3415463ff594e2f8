"""torv-package build: the JSON `json --data=hex|base64` writes, back into the package's
own bytes; an edited document accepted; a wrong one refused with its place, line and
column."""

import json
import os
import resource
import subprocess

import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]
SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]


def run(*args, input=None):
    done = subprocess.run([TOOL, *map(str, args)], input=input, capture_output=True)
    return done.returncode, done.stdout, done.stderr.decode()


def document(package, form):
    status, out, err = run("json", f"--data={form}", package)
    assert status == 0, err
    return out.decode()


@pytest.fixture
def packages(tmp_path):
    """The sample as the library writes it, and edits of it."""
    paths = {}
    for name, edit in EDITS.items():
        app = tp.read(SAMPLE)
        edit(app)
        paths[name] = tmp_path / f"{name}.torv"
        paths[name].write_bytes(app.to_bytes())
    return paths


def empty_data(app):
    app.tiles[0].segments[0].data = b""


def more_tiles(app):
    app.tiles = [*app.tiles, tp.TileImage(physical_tile=77), tp.TileImage(physical_tile=5)]


def no_profile(app):
    app.profile_tiles = []
    app.debug_regions = []


EDITS = {"sample": lambda app: None, "empty data": empty_data, "more tiles": more_tiles, "no profile": no_profile}


@pytest.mark.parametrize("name", EDITS)
@pytest.mark.parametrize("form", ["hex", "base64"])
@pytest.mark.parametrize("to", ["-o", "stdout"])
def test_build_gives_the_package_back_byte_for_byte(packages, tmp_path, name, form, to):
    source = tmp_path / "doc.json"
    source.write_text(document(packages[name], form))
    if to == "-o":
        status, out, err = run("build", f"--data={form}", source, "-o", tmp_path / "out.torv")
        built = (tmp_path / "out.torv").read_bytes()
    else:
        status, built, err = run("build", f"--data={form}", "-", input=source.read_bytes())
    assert (status, err) == (0, "")
    assert built == packages[name].read_bytes()


def test_build_accepts_an_edited_document(packages, tmp_path):
    doc = json.loads(document(packages["sample"], "hex"))
    doc["compiler_version"] = "edited ∑"
    doc["weights"][0]["slices"][0]["file_offset"] = 2**64 - 1
    doc["profile_tiles"][0]["steps"][0]["kind"] = "Idle"
    doc["tiles"][0]["segments"][1]["data"] = "ff" * 16
    source = tmp_path / "edited.json"
    source.write_text(json.dumps(doc))
    status, _, err = run("build", source, "-o", tmp_path / "edited.torv")
    assert (status, err) == (0, "")
    assert json.loads(document(tmp_path / "edited.torv", "hex")) == doc


def position(text, offset):
    """LINE:COLUMN of a character offset, both from 1."""
    return f"{text.count(chr(10), 0, offset) + 1}:{offset - text.rfind(chr(10), 0, offset)}"


# (text replaced in the sample's hex document, its replacement, where in the replacement
# the error points (None: the document's start; a number: an offset), report after
# "FILE:LINE:COLUMN: ")
SEGMENT0 = '"data": "0000a0e31eff2fe1"'
NAME = '"compiler_version": "sample-compiler 2.3.0",'
WRONG = [
    ('"physical_tile": 0', '"physical_tile": "seven"', '"seven"',
     'tiles[0].physical_tile: expected an unsigned 32-bit number, got "seven"'),
    ('"physical_tile": 0', '"physical_tile": 4294967296', "4294967296",
     "tiles[0].physical_tile: expected an unsigned 32-bit number, got 4294967296"),
    ('"physical_tile": 0', '"physical_tile": -1', "-1",
     "tiles[0].physical_tile: expected an unsigned 32-bit number, got -1"),
    ('"physical_tile": 0', '"physical_tile": 1.0', "1.0",
     "tiles[0].physical_tile: expected an unsigned 32-bit number, got 1.0"),
    ('"file_offset": 4294967296', '"file_offset": 18446744073709551616', "18446744073709551616",
     "weights[0].slices[0].file_offset: expected an unsigned 64-bit number, got 18446744073709551616"),
    ('"kind": "Exchange"', '"kind": "exchange"', '"exchange"',
     'profile_tiles[0].steps[0].kind: expected one of Exchange, Compute, Synchronization, Idle, got "exchange"'),
    (SEGMENT0, '"data": "0000a0e31eff2fe"', '"0000',
     'tiles[0].segments[0].data: expected hex digits, two per byte, got "0000a0e31eff2fe" '
     "(a base64 document needs --data=base64)"),
    (SEGMENT0, '"data": 7', "7", "tiles[0].segments[0].data: expected a hex string, got 7"),
    ('"shape": [', '"shape": ["1", ', '"1"', 'inputs[0].shape[0]: expected an unsigned 32-bit number, got "1"'),
    ('"segments": [', '"segments": [7, ', "7", "tiles[0].segments[0]: expected an object, got 7"),
    ('"attach_order": [2, 1, 2]', '"attach_order": {}', "{",
     "host_exchange.attach_order: expected an array of numbers, got an object"),
    ('"flags": 5', '"flags": 5, "colour": 1', "1", "tiles[0].segments[0].colour: unknown member"),
    (NAME, "", None, 'document: missing member "compiler_version"'),
    (NAME, NAME + ' "compiler_version": "again",', '"again"', "compiler_version: duplicate member"),
    (NAME, '"compiler_version": 3,', "3", "compiler_version: expected a string, got 3"),
    # Refused at the first value that cannot be in a package, not once it is parsed.
    ('"tiles": [', '"tiles": ' + "[" * 64, len('"tiles": ') + 1, "tiles[0]: expected an object, got an array"),
    ('"physical_tile": 0', '"physical_tile": sev', "sev",
     "not valid JSON: syntax error while parsing value - invalid literal; last read: '\"physical_tile\": s'"),
]


@pytest.mark.parametrize("old, new, at, message", WRONG)
def test_build_names_the_place_of_an_error(packages, tmp_path, old, new, at, message):
    text = document(packages["sample"], "hex")
    start = text.index(old)
    text = text.replace(old, new, 1)
    source = tmp_path / "wrong.json"
    source.write_text(text)
    status, out, err = run("build", source, "-o", tmp_path / "out.torv")
    assert (status, out, os.path.exists(tmp_path / "out.torv")) == (2, b"", False)
    offset = 0 if at is None else start + (at if isinstance(at, int) else new.index(at))
    assert err == f"torv-package: {source}:{position(text, offset)}: {message}\n"


# (the form written, build's options, status, the report; {pos} is where the data of
# tiles[0].segments[0] begins, {pos1} of segments[1])
@pytest.mark.parametrize("form, args, status, message", [
    ("summary", [], 2, "{doc}:{pos}: tiles[0].segments[0].data: the summary form of data holds no bytes; "
                       "write the document with json --data=hex or --data=base64"),
    ("base64", [], 2, "{doc}:{pos}: tiles[0].segments[0].data: expected hex digits, two per byte, got "
                      '"AACg4x7/L+E=" (a base64 document needs --data=base64)'),
    # The first segment's hex reads as base64 too; the second's does not.
    ("hex", ["--data=base64"], 2, '{doc}:{pos1}: tiles[0].segments[1].data: expected base64 (RFC 4648, padded), '
                                  'got "78563412efbeadde01"'),
    ("hex", [], 1, '{doc}: tiles[1].segments[1]: invalid segment on tile 1: address=0xe7ff0 '
                   'end=0xe8010 memory_size=32 data_size=16'),
])
def test_build_refuses_a_document_with_no_bytes_or_an_invalid_model(packages, tmp_path, form, args, status, message):
    text = document(packages["sample"], form)
    if status == 1:
        old = '"memory_size": 16,\n          "data": "1111'
        text = text.replace(old, old.replace("16", "32"))
    source = tmp_path / "doc.json"
    source.write_text(text)
    first = text.index('"data"', text.index('"segments"'))
    pos = [position(text, at + len('"data": ')) for at in (first, text.index('"data"', first + 1))]
    result = run("build", *args, source, "-o", tmp_path / "out.torv")
    assert result == (status, b"", f"torv-package: {message.format(doc=source, pos=pos[0], pos1=pos[1])}\n")
    assert not (tmp_path / "out.torv").exists()


ZEROS = "0," * 4_000_000 + "0"  # 8 MB: a tree of every value would take hundreds of MB


# (the document, or None for the path as it is; the report after "torv-package: "). Each
# document is refused at the first value that cannot be in a package, within an address
# space of 64 MiB + 4 x its size, whatever follows; a path that cannot be read is an I/O
# error.
@pytest.mark.parametrize("text, message", [
    pytest.param("[" + ZEROS + "]", "{doc}:1:1: document: expected an object, got an array", id="root"),
    pytest.param('{"compiler_version": 7, "tiles": [' + ZEROS + "]}",
                 "{doc}:1:22: compiler_version: expected a string, got 7", id="member"),
    pytest.param('{"junk": [' + ZEROS + "]}", "{doc}:1:10: junk: unknown member", id="unknown"),
    pytest.param('{"tiles": [{"physical_tile": [' + ZEROS + "]}]}",
                 "{doc}:1:30: tiles[0].physical_tile: expected an unsigned 32-bit number, got an array", id="nested"),
    pytest.param(None, '{doc}: cannot read: Is a directory', id="directory"),
    pytest.param(None, '{doc}: cannot open: No such file or directory', id="missing"),
])
def test_build_refuses_what_cannot_be_a_package_as_soon_as_it_is_seen(tmp_path, text, message):
    source = tmp_path / "doc.json"
    if text is not None:
        source.write_text(text)
    elif "Is a directory" in message:
        source.mkdir()
    limit = 64 * 2**20 + 4 * len(text or "")
    done = subprocess.run([TOOL, "build", source, "-o", tmp_path / "out.torv"], capture_output=True, text=True,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert (done.returncode, done.stderr) == (2, f"torv-package: {message.format(doc=source)}\n")
    assert not (tmp_path / "out.torv").exists()
