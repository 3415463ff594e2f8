"""Run against an installed torv_package module: check.py SAMPLE SCRATCH_DIR.
Prints one line of what it saw; any failure is an exception."""
import pathlib
import struct
import sys

import numpy
import torv_package as tp

sample, scratch = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
app = tp.read(sample)
assert app == tp.read(sample.read_bytes())
words = numpy.frombuffer(app.tiles[0].segments[2].data, dtype="<u4")

built = tp.Application(tiles=[
    tp.TileImage(physical_tile=0),
    tp.TileImage(physical_tile=1, segments=[tp.Segment(address=0x4C000, memory_size=8),
                                           tp.Segment(address=0x60000, memory_size=8),
                                           tp.Segment(address=0xE7000, memory_size=0x1000, data=b"\1" * 8)])])
target = scratch / "built.torv"
built.write(target)
assert tp.read(target) == built
earlier = target.read_bytes()

good = built.to_bytes()
bad = good.replace(struct.pack("<II", 0xE7000, 0x1000), struct.pack("<II", 0xE7000, 0x2000))
try:
    tp.read(bad)
    raise AssertionError("a segment leaving tile memory was read")
except tp.PackageError as e:
    refused = e
assert refused.kind == "Invalid" and refused.location == "tiles[1].segments[2]"
assert str(refused) == f"{refused.location}: {refused.message}"

built.tiles[1].segments[2].memory_size = 0x2000
try:
    built.write(target)
    raise AssertionError("an invalid package was written")
except tp.PackageError:
    pass
assert target.read_bytes() == earlier

print(f"python: tiles={len(app.tiles)} first_word={words[0]:08x} refused={refused.location}")
