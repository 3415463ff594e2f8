"""info, json and map with --no-validate, and open(validate=False), over packages that
check refuses, one fault of each family of rules: each shows the package and lists the
fault as check --all does."""

import html
import json
import os
import re
import struct
import subprocess

import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]


def run(*args):
    done = subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def base():
    """A valid package whose numbers are markers, so that each fault is one bytes patch."""
    return tp.Application(
        tiles=[tp.TileImage(physical_tile=0x11, segments=[tp.Segment(address=0x50000, memory_size=0x100, data=b"\xab" * 16),
                                                          tp.Segment(address=0x60000, memory_size=0x100)]),
               tp.TileImage(physical_tile=0x22, entry_point=0x4C222)],
        inputs=[tp.Binding(name="dupAAAA", dtype="float32", shape=[4],
                           slices=[tp.RegionSlice(tile=0x11, tile_address=0x50000, file_offset=0x7777, size=16)])],
        weights=[tp.Binding(name="dupBBBB", dtype="float32")],
        device_config_writes=[tp.DeviceConfigWrite(offset=0x1230, value=0x5151)],
        profile_tiles=[tp.TileProfilePlan(physical_tile=0x11, steps=[tp.ProfileStep(local_index=0, phase=0x6161)])],
        debug_regions=[tp.DebugRegion(physical_tile=0x11, address=0x60000, size=0x77, name="reg")],
        host_exchange=tp.HostExchange(
            startup_mark=0x5A5A, command_page=3, command_offset=0x40,
            pages=[tp.HostPage(index=3, size=0x1000), tp.HostPage(index=4, size=0x2000)], attach_order=[3],
            calls=[tp.HostCall(name="call", inputs=[tp.HostSlice(page=3, page_offset=0x100, file_offset=0x8888, size=0x10)],
                               input_batch_ends=[1])]),
    )


# (what is patched, from, to, the fault's location, whether map marks what it concerns)
FAMILIES = [
    ("segment bounds", struct.pack("<II", 0x60000, 0x100), struct.pack("<II", 0xE7F00, 0x200), "tiles[0].segments[1]", True),
    ("repeated tile", struct.pack("<II", 0x22, 0x4C222), struct.pack("<II", 0x11, 0x4C222), "tiles[1]", True),
    ("overlap", struct.pack("<II", 0x60000, 0x100), struct.pack("<II", 0x50008, 0x100), "tiles[0]", True),
    ("config write", struct.pack("<II", 0x1230, 0x5151), struct.pack("<II", 0x1231, 0x5151), "device_config_writes[0]",
     False),
    ("profile plan", struct.pack("<II", 0, 0x6161), struct.pack("<II", 5, 0x6161), "profile_tiles[0].steps[0]", False),
    ("debug map", struct.pack("<III", 0x11, 0x60000, 0x77), struct.pack("<III", 0x11, 0x60000, 0), "debug_regions[0]",
     True),
    ("binding slice", struct.pack("<IIQ", 0x11, 0x50000, 0x7777), struct.pack("<IIQ", 0x11, 0xE8000, 0x7777),
     "inputs[0].slices[0]", True),
    ("binding name", b"dupBBBB", b"dupAAAA", "weights[0]", False),
    ("host page table", struct.pack("<IIQ", 4, 0, 0x2000), struct.pack("<IIQ", 3, 0, 0x2000), "host_exchange.pages[1]",
     False),
    ("startup protocol", struct.pack("<IIQ", 0x5A5A, 3, 0x40), struct.pack("<IIQ", 0x5A5A, 3, 0xFFF),
     "host_exchange.command_offset", False),
    ("host call", struct.pack("<QQ", 0x100, 0x8888), struct.pack("<QQ", 0xFFF8, 0x8888),
     "host_exchange.calls[0].inputs[0]", False),
]


@pytest.mark.parametrize("family, old, new, location, marked", FAMILIES, ids=[f[0] for f in FAMILIES])
def test_a_refused_package_is_shown_with_its_fault(tmp_path, family, old, new, location, marked):
    good = base().to_bytes()
    assert good.count(old) == 1, family
    path = tmp_path / "p.torv"
    path.write_bytes(good.replace(old, new))
    code, listed, _ = run("check", "--all", path)
    assert code == 1 and len(listed.splitlines()) == 1 and listed.startswith(f"{path}: {location}: "), listed
    fault = listed.rstrip("\n")[len(f"{path}: "):]
    for command in (["info"], ["json"], ["map"]):
        assert run(*command, path)[0] == 2

    code, out, err = run("info", "--no-validate", path)
    assert (code, err) == (0, "")
    assert "\ntile numbers      17..34, 16 missing: 18..33\n" in out or family == "repeated tile"
    shown = fault if len(fault) <= 78 else fault[:75] + "..."
    assert f"\nfaults            1, check refuses the package\n  {shown}\n\nsegments" in out
    assert all(len(line) <= 80 for line in out.splitlines())
    code, out, _ = run("info", "--json", "--no-validate", path)
    assert code == 0 and [f["location"] for f in json.loads(out)["faults"]] == [location]

    code, out, err = run("json", "--no-validate", path)
    assert (code, err) == (0, listed)
    assert len(json.loads(out)["tiles"]) == 2

    code, page, err = run("map", "--no-validate", path)
    assert (code, err) == (0, "")
    assert f'<h2>1 fault: check refuses this package</h2>\n<ol>\n<li>{html.escape(fault, quote=True)}</li>' in page
    marks = re.findall(r'<rect class="\w+ fault"|<g class="fault">|<h3 class="fault">', page)
    assert bool(marks) == marked

    assert [e.location for e in tp.open(path, validate=False).faults()] == [location]


def test_a_repeated_tile_number_is_not_counted_as_missing(tmp_path):
    app = base()
    app.tiles.append(tp.TileImage(physical_tile=0x40, entry_point=0x4C444))
    path = tmp_path / "p.torv"
    path.write_bytes(app.to_bytes().replace(struct.pack("<II", 0x22, 0x4C222), struct.pack("<II", 0x11, 0x4C222)))
    code, out, _ = run("info", "--no-validate", path)
    assert code == 0 and "\ntile numbers      17..64, 46 missing: 18..63\n" in out


def test_long_fault_lists_are_capped_and_reading_faults_still_refuse(tmp_path):
    app = base()
    app.device_config_writes = [tp.DeviceConfigWrite(offset=0x1000 + 4 * k, value=0xC0FFEE00 + k) for k in range(25)]
    data = app.to_bytes()
    for k in range(25):
        data = data.replace(struct.pack("<II", 0x1000 + 4 * k, 0xC0FFEE00 + k), struct.pack("<II", 0x1001 + 4 * k, 0))
    path = tmp_path / "many.torv"
    path.write_bytes(data)
    code, out, _ = run("info", "--no-validate", path)
    assert code == 0 and "faults            25, check refuses the package" in out
    assert out.count("  device_config_writes[") == 20 and "  ... 5 more faults (--all shows every one)\n" in out
    code, out, _ = run("info", "--no-validate", "--all", path)
    assert code == 0 and out.count("  device_config_writes[") == 25 and "more faults" not in out
    code, page, _ = run("map", "--no-validate", path)
    assert code == 0 and "<details><summary>5 more</summary><ol start=\"21\">" in page and page.count("<li>") == 25

    truncated = tmp_path / "truncated.torv"
    truncated.write_bytes(data[: len(data) // 2])
    for command in ("info", "json", "map"):
        code, _, err = run(command, "--no-validate", truncated)
        assert code == 2 and err.startswith(f"torv-package: {truncated}: "), err
