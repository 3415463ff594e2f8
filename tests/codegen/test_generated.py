"""What the schema generator (tools/codegen) writes: one description of every record, field
and enumerant, the same in each mirror; and a field added to the schema reaching every
mirror with nothing else edited."""

import ast
import json
import os
import pathlib
import re
import shutil
import subprocess

import pytest

import torv_package as tp

GENERATED = pathlib.Path(os.environ["TORV_GENERATED_DIR"])
SOURCE = pathlib.Path(__file__).resolve().parents[2]


def words(text):
    return " ".join(text.split())


def header_docs(text):
    """{(record, member or None): description} from the // comments before each struct,
    enum, member and enumerant of a generated header."""
    docs, comment, record = {}, [], None
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith("//"):
            comment.append(stripped[2:])
            continue
        if found := re.match(r"(?:struct|enum class) (\w+)", stripped):
            record = found.group(1)
            docs[record, None] = comment
        elif found := re.match(r"(?:[\w:<>]+ )?(\w+)(?: = [^;]+|\{\})?[;,]$", stripped):
            if comment:
                docs[record, found.group(1)] = comment
        comment = []
    return {key: words(" ".join(c)) for key, c in docs.items() if c}


def stub_docs(text):
    """{(class, member or None): docstring} of the stubs' classes: the class's, each
    property's, and each enumerant's (the string after its assignment)."""
    docs = {}
    for node in ast.parse(text).body:
        if not isinstance(node, ast.ClassDef) or node.name.endswith("View"):
            continue
        if not ast.get_docstring(node):
            continue  # hand-written, not generated
        docs[node.name, None] = words(ast.get_docstring(node))
        for item, after in zip(node.body, node.body[1:] + [None]):
            if isinstance(item, ast.FunctionDef) and any(getattr(d, "id", None) == "property" for d in item.decorator_list):
                docs[node.name, item.name] = words(ast.get_docstring(item) or "")
            elif isinstance(item, ast.Assign) and isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant):
                docs[node.name, item.targets[0].id] = words(after.value.value)
    return docs


def man_docs(text):
    """{(record, field or None): description} from torv-package(5): a record's paragraphs
    between its .SS line and its "Schema struct" line, a field's after the line of facts
    that follows its .B tag."""
    docs, record, key, lines, skip = {}, None, None, [], 0

    def flush():
        if key is not None and lines:
            docs[key] = words(" ".join(lines).replace("\\e", "\\").replace("\\&", ""))

    for line in text.splitlines():
        if line.startswith((".SS ", ".SH", ".TP", ".B ")) or line.startswith("Schema "):
            flush()
            lines = []
            record = line[4:] if line.startswith(".SS ") else None if line.startswith(".SH") else record
            key = (record, None) if line.startswith(".SS ") else (record, line[3:]) if line.startswith(".B ") else None
            skip = 1 if line.startswith(".B ") else 0
        elif line.startswith("."):
            continue
        elif skip:
            skip -= 1
        elif key:
            lines.append(line)
    flush()
    return docs


def test_one_description_of_each_record_and_field_everywhere():
    header = header_docs((GENERATED / "torv_package/records.hpp").read_text())
    # Application's members are generated apart, their record's description first.
    members = (GENERATED / "torv_package/application_members.hpp").read_text()
    record_doc = re.search(r"\n// Application: (.*?)\n\n", members, re.S).group(1)
    header["Application", None] = words(record_doc.replace("//", ""))
    header.update({("Application", m): d for (_, m), d in header_docs("struct Application {\n" + members).items() if m})
    stubs = stub_docs((GENERATED / "__init__.pyi").read_text())
    schema = json.loads((GENERATED / "package.schema.json").read_text())
    man = man_docs((GENERATED / "torv-package.5").read_text())

    compared = 0
    for name in [n for n in dir(tp) if (n, None) in stubs]:
        cls = getattr(tp, name)
        is_enum = issubclass(cls, int)
        for member in [None] + ([m.name for m in cls] if is_enum else list(cls.__match_args__)):
            texts = {"header": header.get((name, member)), "stubs": stubs.get((name, member)),
                     "man page": man.get((name, member))}
            if member is None:
                texts["Python"] = cls.__doc__
            elif not is_enum:  # an IntEnum's member has no docstring of its own
                texts["Python"] = getattr(cls, member).__doc__
                texts["Python view"] = getattr(getattr(tp, name + "View", tp.PackageView), member).__doc__
            if not is_enum:
                definition = schema if name == "Application" else schema["$defs"][name]
                texts["JSON Schema"] = (definition if member is None else definition["properties"][member])["description"]
            texts = {where: words(text or "") for where, text in texts.items()}
            assert all(texts.values()) and len(set(texts.values())) == 1, (name, member, texts)
            compared += 1
    assert compared > 80  # every record, field, enum and enumerant


def test_a_field_added_to_the_schema_reaches_every_mirror(tmp_path):
    # A UInt32 with the next ordinal, at the end of TileImage.
    schema = (SOURCE / "src/application.capnp").read_text()
    start = schema.index("struct TileImage {")
    end = schema.index("\n}\n", start) + 1
    ordinal = 1 + max(int(n) for n in re.findall(r"@(\d+) :", schema[start:end]))
    added = (f"  scratchCount @{ordinal} :UInt32;\n"
             "  # Count of scratch words the tile keeps, a field only this test adds. Carried.\n")
    (tmp_path / "application.capnp").write_text(schema[:end] + added + schema[end:])
    shutil.copy(SOURCE / "src/model.capnp", tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    env = dict(os.environ, TORV_CODEGEN_STUBS=str(SOURCE / "python/stubs.pyi"))
    subprocess.run([os.environ["TORV_CAPNP"], "compile", "-I" + os.environ["TORV_CAPNP_INCLUDE"],
                    f"-o{os.environ['TORV_CODEGEN']}:{out}", f"-oc++:{out}", "application.capnp"],
                   cwd=tmp_path, env=env, check=True)
    doc = "Count of scratch words the tile keeps, a field only this test adds. Carried."

    # The model, the table, the view and the C API, with the description, as C++ compiles them.
    assert header_docs((out / "torv_package/records.hpp").read_text())["TileImage", "scratch_count"] == doc
    (tmp_path / "check.cpp").write_text("""
#include <tuple>
#include <type_traits>
#include "torv_package/view.hpp"
using namespace torv_package;
static_assert(std::is_same_v<decltype(TileImage::scratch_count), std::uint32_t>);
static_assert(std::get<field_count<TileImage> - 1>(RecordTable<TileImage>::fields).name == "scratch_count");
static_assert(std::is_same_v<decltype(std::declval<TileImageView>().scratch_count()), std::uint32_t>);
// The C API's accessor, and its place in the record's member list.
#include "torv_package/torv_package.h"
static_assert(std::is_same_v<decltype(&tp_tile_image_scratch_count), std::uint32_t (*)(tp_tile_image)>);
#define IS_SCRATCH(record, member, KIND, type) || std::string_view(#member) == "scratch_count"
static_assert(false TP_TILE_IMAGE_FIELDS(IS_SCRATCH));
""")
    compiler = os.environ["TORV_CXX"].split(";")
    includes = [f"-I{d}" for d in [out, SOURCE / "include", SOURCE / "src"] + os.environ["TORV_CXX_INCLUDES"].split(";") if d]
    for source in ["check.cpp", out / "c_accessors.cpp"]:
        subprocess.run(compiler + ["-std=c++23", "-fsyntax-only", *includes, source], cwd=tmp_path, check=True)
    assert f"// {doc}\nTP_API uint32_t tp_tile_image_scratch_count(tp_tile_image record);" in (
        out / "torv_package/accessors.h").read_text()

    # Python's docstring, the stubs, the JSON Schema, the man page and the layout.
    assert f'{{"scratch_count", "{doc}"}}' in (out / "python_docs.hpp").read_text()
    stub = (out / "__init__.pyi").read_text()
    assert stub_docs(stub)["TileImage", "scratch_count"] == doc
    assert "        scratch_count: SupportsIndex = 0,\n    ) -> None: ..." in stub
    tile = json.loads((out / "package.schema.json").read_text())["$defs"]["TileImage"]
    assert tile["properties"]["scratch_count"] == {"$ref": "#/$defs/u32", "description": doc}
    assert tile["required"][-1] == "scratch_count"
    assert man_docs((out / "torv-package.5").read_text())["TileImage", "scratch_count"] == doc
    assert re.search(rf"\n  @{ordinal} +scratchCount +UInt32 +bytes \d+-\d+\n", (out / "application.layout").read_text())
