// The model's records: plain aggregates whose members carry the schema's doc comments and
// start at the schema's defaults.

#include <fmt/format.h>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {
namespace {

std::string member_type(const Field& f) {
  const std::string number = fmt::format("std::uint{}_t", f.bits);
  switch (f.kind) {
    case Kind::number: return number;
    case Kind::enumeration: return f.type;
    case Kind::text: return "std::string";
    case Kind::data: return "std::vector<std::uint8_t>";
    case Kind::number_list: return "std::vector<" + number + ">";
    case Kind::record_list: return "std::vector<" + f.type + ">";
    case Kind::record: return f.type;
  }
  return {};
}

std::string initialiser(const Schema& schema, const Field& f) {
  switch (f.kind) {
    case Kind::number: return fmt::format(" = {}", f.default_number);
    case Kind::enumeration:
      return fmt::format(" = {}::{}", f.type, schema.enumeration(f.type).enumerants.at(f.default_number).name);
    case Kind::text: return f.initial ? " = " + cpp_string(*f.initial) : "{}";
    default: return "{}";
  }
}

std::string members(const Schema& schema, const Record& r, std::string_view indent) {
  std::string out;
  for (const Field& f : r.fields) {
    out += cpp_comment(f.doc, indent);
    out += fmt::format("{}{} {}{};\n", indent, member_type(f), f.name, initialiser(schema, f));
  }
  out += fmt::format("\n{}friend bool operator==(const {}&, const {}&) = default;\n", indent, r.name, r.name);
  return out;
}

}  // namespace

std::vector<File> records(const Schema& schema, const Inputs&) {
  std::vector<File> files;
  std::string out = cpp_header(schema.file,
                               "The package model: one plain record per struct of the schema, holding its fields "
                               "under their snake_case names, each initialised to the schema's default. Included by "
                               "torv_package/application.hpp, which declares the records that have operations of "
                               "their own.",
                               {"<cstdint>", "<string>", "<vector>"}, "torv_package");
  for (const Enum& e : schema.enums) {
    out += '\n' + cpp_comment(e.doc, "");
    out += fmt::format("enum class {} : std::uint16_t {{\n", e.name);
    for (const Enumerant& v : e.enumerants) out += cpp_comment(v.doc, "  ") + fmt::format("  {},\n", v.name);
    out += "};\n";
  }
  for (const Record* r : schema.dependencies_first()) {
    if (r->operations) {
      const std::string path = "torv_package/" + snake_case(r->name) + "_members.hpp";
      files.push_back({path, fmt::format("// {}\n//\n// The members of {}, included inside its declaration in "
                                         "torv_package/application.hpp.\n\n{}\n{}",
                                         generated_note(schema.file), r->name,
                                         cpp_comment(r->name + ": " + r->doc, ""), members(schema, *r, "  "))});
      continue;
    }
    out += '\n' + cpp_comment(r->doc, "") + fmt::format("struct {} {{\n", r->name) + members(schema, *r, "  ") + "};\n";
  }
  out += "\n}  // namespace torv_package\n";
  files.insert(files.begin(), {"torv_package/records.hpp", std::move(out)});
  return files;
}

}  // namespace torv_codegen
