// torv-package(5): the package format's field reference. The schema file's doc comment gives
// the description and the sections it heads (validation); every record, field and enum is
// listed with its type, default, place in the encoding and description.

#include <fmt/format.h>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {
namespace {

// The blocks as roff paragraphs; the first one without a paragraph macro when `first` is
// false (it continues a tagged paragraph).
std::string roff_blocks(const std::vector<Block>& blocks, bool first = true) {
  std::string out;
  for (const Block& block : blocks) {
    if (block.kind == Block::Kind::list) {
      for (const std::string& item : block.items) out += ".IP \\(bu 2\n" + roff(item) + '\n';
      first = true;
      continue;
    }
    if (!first) {
      first = true;
    } else {
      out += out.empty() || !out.ends_with(".TP\n") ? ".PP\n" : "";
    }
    out += roff(block.text) + '\n';
  }
  return out;
}

std::string default_of(const Schema& schema, const Field& f) {
  switch (f.kind) {
    case Kind::number: return f.address && f.default_number != 0 ? fmt::format("0x{:x}", f.default_number) : std::to_string(f.default_number);
    case Kind::enumeration: return schema.enumeration(f.type).enumerants.at(f.default_number).name;
    case Kind::text:
      return f.initial ? fmt::format("empty when read, \"{}\" in a record made from scratch", *f.initial) : "empty";
    case Kind::record: return "every field at its default";
    default: return "empty";
  }
}

std::string place(const Field& f) {
  if (f.pointer) return fmt::format("pointer {}", f.offset);
  return fmt::format("data bytes {}\\(en{}", f.offset, f.offset + f.bytes - 1);
}

std::string field_entry(const Schema& schema, const Record& r, const Field& f) {
  std::string out = fmt::format(".TP\n.B {}\n", f.name);
  std::string facts = fmt::format("{}, default {}", f.wire_type, default_of(schema, f));
  if (f.address) facts += ", shown in hex";
  facts += fmt::format("; schema field \\fI{}\\fR @{}, {}.", f.schema_name, f.ordinal, place(f));
  if (f.header) facts += fmt::format(" A header field: checked as {} is read, not held in the model.", r.name);
  out += facts + '\n';
  std::vector<Block> doc = blocks(f.doc);
  if (!doc.empty()) out += ".br\n" + roff_blocks(doc, false);
  // Further paragraphs of a field stay indented with it.
  std::string indented;
  for (const std::string& line : lines_of(out)) indented += (line == ".PP" ? std::string(".IP") : line) + '\n';
  return indented;
}

std::string record_entry(const Schema& schema, const Record& r) {
  std::string out = fmt::format(".SS {}\n", r.name) + roff_blocks(blocks(r.doc));
  const std::string words = r.data_words == 1 ? "word" : "words";
  const std::string pointers = r.pointers == 1 ? "pointer" : "pointers";
  out += fmt::format(".PP\nSchema struct \\fB{}\\fR: {} data {}, {} {}.\n", r.schema_name, r.data_words, words,
                     r.pointers, pointers);
  for (const Field& f : r.schema_fields) out += field_entry(schema, r, f);
  return out;
}

std::string enum_entry(const Enum& e) {
  std::string out = fmt::format(".SS {}\n", e.name) + roff_blocks(blocks(e.doc));
  out += fmt::format(".PP\nSchema enum \\fB{}\\fR, 16 bits; a value that is no enumerant refuses the package.\n",
                     e.schema_name);
  for (std::size_t i = 0; i < e.enumerants.size(); ++i) {
    const Enumerant& v = e.enumerants[i];
    out += fmt::format(".TP\n.B {}\n{} (schema: \\fI{}\\fR).\n.br\n", v.name, i, v.schema_name) +
           roff_blocks(blocks(v.doc), false);
  }
  return out;
}

}  // namespace

std::vector<File> man_page(const Schema& schema, const Inputs&) {
  std::string out = fmt::format(R"(.\" {}
.TH TORV-PACKAGE 5 "" "torv_package" "File Formats Manual"
.SH NAME
torv-package \- the package file format of the tiled device, record by record
.SH DESCRIPTION
)",
                                generated_note(schema.file));
  // The file's comment: its description, then the sections its headings start.
  const std::vector<Block> file = blocks(schema.doc);
  std::size_t i = 0;
  std::vector<Block> description;
  for (; i < file.size() && file[i].kind != Block::Kind::heading; ++i) description.push_back(file[i]);
  out += roff_blocks(description);
  out += R"(.PP
Each record below is a struct of the schema, listed with its fields in the schema's order.
A field is named as the C++ and Python models,
.B torv\-package json
and the locations of errors name it, followed by its type, its default (what a package that
leaves it out reads as), the schema's own name and ordinal for it, and where the encoding
keeps it: a byte range of the struct's data section, or a slot of its pointer section.
A field called carried is copied by the library and checked by nothing.
.SH RECORDS
)";
  for (const Record& r : schema.records) out += record_entry(schema, r);
  out += ".SH ENUMS\n";
  for (const Enum& e : schema.enums) out += enum_entry(e);
  while (i < file.size()) {
    out += ".SH " + roff(file[i++].text) + '\n';
    std::vector<Block> section;
    for (; i < file.size() && file[i].kind != Block::Kind::heading; ++i) section.push_back(file[i]);
    out += roff_blocks(section);
  }
  out += R"(.SH SEE ALSO
.BR torv\-package (1),
.BR vindle (1)
)";
  return {{"torv-package.5", std::move(out)}};
}

}  // namespace torv_codegen
