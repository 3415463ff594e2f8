"""torv-package map: the page as a real browser sees it. Headless Chromium loads it from
file:// with no network, and the DOM it built must hold every tile of the package with
its number and every element's hover text; a screenshot shows it draws."""

import contextlib
import os
import resource
import shutil
import subprocess
from html.parser import HTMLParser

import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]
SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]


def chromium(tmp_path, page, *args):
    """Runs headless Chromium on `page`, as root too (hence --no-sandbox), with a fresh
    profile; returns its standard output."""
    browser = shutil.which("chromium")
    assert browser, "chromium is missing: scripts/install-deps installs it"
    profile = tmp_path / "profile"
    profile.mkdir(exist_ok=True)
    done = subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run", f"--user-data-dir={profile}", *args,
         page.as_uri()],
        capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


class Dom(HTMLParser):
    """Hover texts (<title> in the SVG), the numbers in the grid's cells, section ids."""

    def __init__(self):
        super().__init__()
        self.titles, self.cells, self.sections, self.urls = [], [], [], []
        self._in = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "section":
            self.sections.append(attrs.get("id"))
        for name in ("href", "src"):
            if attrs.get(name, "").startswith(("http:", "https:", "//")):
                self.urls.append(attrs[name])
        self._in.append(tag)

    def handle_endtag(self, tag):
        while self._in and self._in.pop() != tag:
            pass

    def handle_data(self, data):
        if self._in and self._in[-1] == "title" and "svg" in self._in:
            self.titles.append(data)
        elif self._in and self._in[-1] == "text":
            self.cells.append(data)


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    """The sample's map, and a package with a name that HTML must escape, a name too long
    to show whole, and tiles past the device's last."""
    tmp = tmp_path_factory.mktemp("map")
    app = tp.read(SAMPLE)
    app.debug_regions = [*app.debug_regions, tp.DebugRegion(physical_tile=1, address=0x90000, size=8, name="<b>&amp;"),
                         tp.DebugRegion(physical_tile=1, address=0x90010, size=8, name="x" + "é" * 1000)]
    app.tiles = [*app.tiles, tp.TileImage(physical_tile=5000)]
    package = tmp / "p.torv"
    package.write_bytes(app.to_bytes())
    done = subprocess.run([TOOL, "map", package, "-o", tmp / "p.html"], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    dom = Dom()
    dom.feed(chromium(tmp, tmp / "p.html", "--dump-dom"))
    return tmp, dom


def test_every_tile_appears_with_its_number(page):
    _, dom = page
    for tile in (0, 1, 1471, 5000):
        assert str(tile) in dom.cells
        assert f"tile-{tile}" in dom.sections
    assert sorted(dom.cells, key=int) == ["0", "1", "1471", "5000"]  # absent tiles carry no number
    assert dom.urls == []


@pytest.mark.parametrize("title", [
    "tile 2: absent",
    "tile 1470: absent",
    "tile 0: 0.7% of the window, 4 segments, 0x1130 bytes",
    "segment 0x50000..0x50010 (16 bytes): stored data 0x50000..0x50009 (9 bytes), "
    "zero-filled 0x50009..0x50010 (7 bytes)",
    "segment 0xe7ff0..0xe8000 (16 bytes): stored data 0xe7ff0..0xe8000 (16 bytes)",
    "segment 0x70000..0x71000 (4096 bytes): zero-filled 0x70000..0x71000 (4096 bytes)",
    "input image slice 0 0x60000..0x60018 (24 bytes)",
    "weight conv0.weight slice 0 0x68000..0x68360 (864 bytes), outside every segment",
    "debug region activations 0x60000..0x60100 (256 bytes)",
    "debug region runtime stub 0x4c000..0x4c100 (256 bytes)",
    "debug region <b>&amp; 0x90000..0x90008 (8 bytes)",
    # A long name is cut between characters after 1 KiB.
    "debug region x" + "é" * 511 + "... 0x90010..0x90018 (8 bytes)",
])
def test_each_element_names_itself_on_hover(page, title):
    _, dom = page
    assert title in dom.titles


def test_the_page_draws(page):
    tmp, _ = page
    shot = tmp / "shot.png"
    chromium(tmp, tmp / "p.html", f"--screenshot={shot}", "--window-size=1200,900")
    data = shot.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10_000


# -o through a temporary file and a rename, for map and build alike: (command, how the
# output is given, whether a write fails, status, report; {P} the input, {T} the target,
# which holds "old" and mode 0640 before the run). An input is never replaced or
# appended to, and a failed write leaves the target as it was, with no temporary file.
SAME = "{out} is the same file as {input}; write to another file"
TOO_LARGE = 'cannot write {T}: File too large'
OUTPUTS = [
    ("map", ["-o", "{P}"], False, 2, SAME.format(out="output {P}", input="input {P}")),
    ("map", ["-o", "{hard}"], False, 2, SAME.format(out="output {hard}", input="input {P}")),
    ("map", ["-o", "{link}"], False, 2, SAME.format(out="output {link}", input="input {P}")),
    ("map", [">>", "{P}"], False, 2, SAME.format(out="standard output", input="input {P}")),
    ("map", ["stdin", "-o", "{P}"], False, 2, SAME.format(out="output {P}", input="standard input")),
    ("map", ["-o", "{T}"], True, 2, TOO_LARGE),
    ("map", ["-o", "{T}"], False, 0, ""),
    ("build", ["-o", "{P}"], False, 2, SAME.format(out="output {P}", input="input {P}")),
    ("build", ["stdin", "-o", "{P}"], False, 2, SAME.format(out="output {P}", input="standard input")),
    ("build", [">>", "{P}"], False, 2, SAME.format(out="standard output", input="input {P}")),
    ("build", ["-o", "{T}"], True, 2, TOO_LARGE),
    ("build", ["-o", "{T}"], False, 0, ""),
]


@pytest.mark.parametrize("command, how, fails, status, report", OUTPUTS)
def test_an_output_never_destroys_an_input_nor_a_target_it_fails_to_replace(tmp_path, command, how, fails, status,
                                                                            report):
    package = tmp_path / "p.torv"
    package.write_bytes(tp.read(SAMPLE).to_bytes())
    if command == "build":  # the input is the package's JSON document
        document = subprocess.run([TOOL, "json", "--data=hex", package], capture_output=True, check=True).stdout
        package = tmp_path / "p.json"
        package.write_bytes(document)
        (tmp_path / "p.torv").unlink()
    target = tmp_path / "t.out"
    target.write_bytes(b"old")
    target.chmod(0o640)
    os.link(package, tmp_path / "hard")
    os.symlink(package.name, tmp_path / "link")
    names = {"P": package, "T": target, "hard": tmp_path / "hard", "link": tmp_path / "link"}
    words = [w.format(**names) for w in how]
    with contextlib.ExitStack() as files:
        stdin = files.enter_context(open(package, "rb")) if words[0] == "stdin" else subprocess.DEVNULL
        stdout = files.enter_context(open(words[1], "ab")) if words[0] == ">>" else subprocess.DEVNULL
        words = words[1:] if words[0] == "stdin" else [] if words[0] == ">>" else words
        source = "-" if stdin != subprocess.DEVNULL else package
        before = package.read_bytes()
        small = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))  # noqa: E731
        done = subprocess.run([TOOL, command, source, *words], stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                              text=True, preexec_fn=small if fails else None, restore_signals=True)
    assert (done.returncode, done.stderr) == (status, f"torv-package: {report.format(**names)}\n" if report else "")
    assert package.read_bytes() == before
    replaced = status == 0
    assert (target.read_bytes() != b"old", target.stat().st_mode & 0o777) == (replaced, 0o640)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["hard", "link", package.name, "t.out"])
