"""Records, enums and numbers behave as Python users expect: positional and keyword
construction, pattern matching, pickling, IntEnums, and numpy integers taken as ints."""

import enum
import os
import pickle

import numpy
import pytest

import torv_package as tp

SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]


def test_members_by_position_in_declared_order_or_by_keyword():
    by_position = tp.Segment(0x4C000, 16, b"ab", 1)
    assert by_position == tp.Segment(flags=1, data=b"ab", memory_size=16, address=0x4C000)
    match by_position:
        case tp.Segment(address, size, data):
            assert (address, size, bytes(data)) == (0x4C000, 16, b"ab")
        case _:
            pytest.fail("a Segment did not match its own pattern")


@pytest.mark.parametrize("record", [
    tp.read(SAMPLE),
    tp.Segment(1, 2, b"\x00\xff"),
    tp.ProfileStep(kind=tp.ProfileStepKind.Compute, metadata=[tp.ProfileMetadata(name="k", value="é")]),
    tp.Binding(name="x", shape=[1, 2], slices=[tp.RegionSlice(tile=1, size=8)]),
])
def test_records_survive_pickling_and_share_nothing(record):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(record, protocol))
        assert type(restored) is type(record) and restored == record and restored is not record


@pytest.mark.parametrize("value", [numpy.uint32(7), numpy.int64(7), numpy.uint8(7)])
def test_numpy_integers_are_ints(value):
    step = tp.ProfileStep(local_index=value, kind=numpy.int16(1), exchange_event_cycles=value)
    step.metadata = []
    app = tp.read(SAMPLE)
    app.inputs[0].shape[1] = value
    assert (step.local_index, step.kind, app.inputs[0].shape[1]) == (7, tp.ProfileStepKind.Compute, 7)
    assert tp.read(app.to_bytes()).inputs[0].shape == [1, 7, 8, 8]


def test_enums_are_int_enums_everywhere():
    kind = tp.ProfileStepKind.Idle
    assert isinstance(kind, enum.IntEnum) and kind == 3 and hash(kind) == hash(3)
    assert [k.name for k in tp.ProfileExchangeActivityKind] == ["Send", "Receive"]
    assert pickle.loads(pickle.dumps(kind)) is kind
    app = tp.read(SAMPLE)
    app.profile_tiles[0].steps[0].kind = 2
    step = tp.open(app.to_bytes()).profile_tiles[0].steps[0]
    assert step.kind is tp.ProfileStepKind.Synchronization
    assert "kind=ProfileStepKind.Synchronization" in repr(step)
