"""The JSON Schema installed as share/torv_package/package.schema.json: every data form
of `json` conforms to it, and it refuses what `build` refuses."""

import json
import os
import subprocess

import jsonschema
import pytest

import torv_package as tp

TOOL = os.environ["TORV_PACKAGE_TOOL"]
SAMPLE = os.environ["TORV_SAMPLE_PACKAGE"]
with open(os.environ["TORV_PACKAGE_SCHEMA"], encoding="utf-8") as f:
    SCHEMA = json.load(f)
VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)


@pytest.fixture(scope="module")
def documents(tmp_path_factory):
    """`json` of the sample and of a package at the edges (u64 at its maximum, empty data),
    in every data form."""
    tmp = tmp_path_factory.mktemp("schema")
    edge = tp.read(SAMPLE)
    edge.weights[0].slices[0].file_offset = 2**64 - 1
    edge.tiles[0].segments[0].data = b""
    edge.tiles[1].segments[0].data = b"\xfb\xff"  # base64 with '+', '/' and padding
    docs = {}
    for name, app in (("sample", tp.read(SAMPLE)), ("edge", edge)):
        path = tmp / f"{name}.torv"
        path.write_bytes(app.to_bytes())
        for form in ("summary", "none", "hex", "base64"):
            done = subprocess.run([TOOL, "json", f"--data={form}", path], capture_output=True, text=True, check=True)
            docs[name, form] = json.loads(done.stdout)
    return docs


def test_the_schema_is_a_draft_2020_12_schema():
    assert SCHEMA["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    jsonschema.Draft202012Validator.check_schema(SCHEMA)


@pytest.mark.parametrize("name", ["sample", "edge"])
@pytest.mark.parametrize("form", ["summary", "none", "hex", "base64"])
def test_every_data_form_conforms(documents, name, form):
    VALIDATOR.validate(documents[name, form])


def test_numbers_in_hex_conform_as_build_takes_them(documents):
    doc = json.loads(json.dumps(documents["sample", "hex"]))
    doc["tiles"][0]["physical_tile"] = "0xffffffff"
    doc["weights"][0]["slices"][0]["file_offset"] = "0X000FFFFFFFFFFFFFFFF"
    VALIDATOR.validate(doc)


def set_path(doc, path, value):
    *parents, last = path
    for key in parents:
        doc = doc[key]
    if value is DELETE:
        del doc[last]
    else:
        doc[last] = value


DELETE = object()


@pytest.mark.parametrize("path, value", [
    (["tiles", 0, "physical_tile"], 2**32),
    (["tiles", 0, "physical_tile"], -1),
    (["tiles", 0, "physical_tile"], "7"),
    (["tiles", 0, "physical_tile"], "0x100000000"),
    (["weights", 0, "slices", 0, "file_offset"], "0x10000000000000000"),
    (["weights", 0, "slices", 0, "file_offset"], 2**64),
    (["profile_tiles", 0, "steps", 0, "kind"], "exchange"),
    (["profile_tiles", 0, "steps", 0, "exchange_activities", 0, "kind"], "Idle"),
    (["tiles", 0, "segments", 0, "data"], "abc"),
    (["tiles", 0, "segments", 0, "data"], {"sha256": "00" * 32}),
    (["tiles", 0, "segments", 0, "colour"], 1),
    (["host_exchange", "attach_order"], DELETE),
    (["compiler_version"], None),
])
def test_the_schema_refuses_a_wrong_document(documents, path, value):
    doc = json.loads(json.dumps(documents["sample", "hex"]))
    set_path(doc, path, value)
    assert not VALIDATOR.is_valid(doc)
