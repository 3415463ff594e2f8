// The C API's part that follows the schema (see torv_package/torv_package.h): an enum per
// enum, a handle type per record, an accessor per field, and the X-macro lists that let C
// and C++ code walk every member without naming it.

#include <cctype>
#include <set>
#include <stdexcept>

#include <fmt/format.h>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {
namespace {

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string c_name(std::string_view model_name) { return "tp_" + snake_case(model_name); }

std::string number_type(const Field& f) { return fmt::format("uint{}_t", f.bits); }

// The C type of a field's value, or of a list's element. An enum is named by its tag alone,
// which it shares with the accessor of a field `kind` (tp_profile_step_kind), as `struct
// stat` does with stat().
std::string value_type(const Field& f) {
  switch (f.kind) {
    case Kind::number:
    case Kind::number_list: return number_type(f);
    case Kind::enumeration: return "enum " + c_name(f.type);
    case Kind::record:
    case Kind::record_list: return c_name(f.type);
    case Kind::text: return "tp_text";
    case Kind::data: return "tp_bytes";
  }
  return {};
}

std::string_view kind_token(Kind kind) {
  switch (kind) {
    case Kind::number: return "NUMBER";
    case Kind::enumeration: return "ENUM";
    case Kind::text: return "TEXT";
    case Kind::data: return "DATA";
    case Kind::number_list: return "NUMBER_LIST";
    case Kind::record_list: return "RECORD_LIST";
    case Kind::record: return "RECORD";
  }
  return {};
}

bool is_list(const Field& f) { return f.kind == Kind::number_list || f.kind == Kind::record_list; }

// Every name the API declares, ordinary identifiers and tags apart as C keeps them, so
// that two that would clash (a field `segments_count` beside a list `segments`, a record
// `host` with a field `exchange_x` beside a record `host_exchange`) stop the generator
// instead of the C compiler.
class Names {
 public:
  const std::string& add(std::string name) { return insert(ordinary_, std::move(name)); }
  const std::string& tag(std::string name) { return insert(tags_, std::move(name)); }

 private:
  static const std::string& insert(std::set<std::string>& names, std::string name) {
    const auto [at, fresh] = names.insert(std::move(name));
    if (!fresh) throw std::runtime_error(fmt::format("the C API would declare {} twice; rename a field", *at));
    return *at;
  }
  std::set<std::string> ordinary_, tags_;
};

std::string declarations(const Schema& schema, Names& names) {
  std::string out;
  for (const Enum& e : schema.enums) {
    const std::string type = c_name(e.name);
    out += '\n' + cpp_comment(e.doc, "") + fmt::format("enum {} {{\n", names.tag(type));
    for (std::size_t i = 0; i < e.enumerants.size(); ++i) {
      const Enumerant& v = e.enumerants[i];
      out += cpp_comment(v.doc, "  ");
      out += fmt::format("  {} = {},\n", names.add(upper(type + "_" + snake_case(v.name))), i);
    }
    out += fmt::format("}};\n\n// The enumerant's name in the model (\"{1}\"), as torv-package json writes it; NULL for a\n"
                       "// value that names none. Static text.\nTP_API const char* {2}(enum {0} value);\n",
                       type, e.enumerants.front().name, names.add(type + "_name"));
  }
  out += "\n// Handles of records, one type per record: see \"Records\" in torv_package.h.\n";
  for (const Record& r : schema.records) {
    const std::string& type = names.add(c_name(r.name));
    out += fmt::format("typedef struct {0} {{ uint64_t opaque[TP_HANDLE_WORDS]; }} {0};\n", names.tag(type));
  }
  for (const Record& r : schema.records) {
    const std::string record = c_name(r.name);
    out += fmt::format("\n// {}\n//\n{}//\n// Any thread may call its accessors; what they give lives as long as the view; a zeroed\n"
                       "// handle reads as the empty record (see \"Records\" in torv_package.h).\n",
                       r.name, cpp_comment(r.doc, ""));
    for (const Field& f : r.schema_fields) {
      const std::string function = record + "_" + f.name;
      out += '\n' + cpp_comment(f.doc, "");
      if (f.header) out += "// A header field: the one supported value in every view.\n";
      if (!is_list(f)) {
        out += fmt::format("TP_API {} {}({} record);\n", value_type(f), names.add(function), record);
        continue;
      }
      out += fmt::format("TP_API size_t {}({} record);\n", names.add(function + "_count"), record);
      out += fmt::format("// Element `index`; past the end, {}.\nTP_API {} {}({} record, size_t index);\n",
                         f.kind == Kind::record_list ? "the empty record" : "0", value_type(f),
                         names.add(function + "_at"), record);
    }
  }
  return out;
}

std::string member_lists(const Schema& schema) {
  std::string out = R"(
// The members of each record, in the model's order (torv-package json's), as X-macro lists:
// TP_SEGMENT_FIELDS(X) expands X(record, member, KIND, type) for each member, where
// `record` and `member` make the accessor's name (tp_##record##_##member), KIND is one of
// NUMBER, ENUM, TEXT, DATA, NUMBER_LIST, RECORD_LIST, RECORD, and `type` is the C type of
// the value or of a list's element (for ENUM, the enum's tag: type##_name names it).
// Application's header fields are no members.
// TP_RECORDS(X) expands X(handle type, member list) for every record. A walk written over
// these lists reaches a field added to the schema without a change.
)";
  std::string records;
  for (const Record& r : schema.records) {
    const std::string record = snake_case(r.name);
    const std::string list = "TP_" + upper(record) + "_FIELDS";
    out += fmt::format("#define {}(X)", list);
    for (const Field& f : r.fields) {
      const std::string type = f.kind == Kind::enumeration ? c_name(f.type) : value_type(f);
      out += fmt::format(" \\\n  X({}, {}, {}, {})", record, f.name, kind_token(f.kind), type);
    }
    out += '\n';
    records += fmt::format(" \\\n  X({}, {})", c_name(r.name), list);
  }
  return out + "#define TP_RECORDS(X)" + records + '\n';
}

std::string header(const Schema& schema) {
  Names names;
  const std::string body = declarations(schema, names) + member_lists(schema);
  return fmt::format(R"(// {}
//
// The C API's records, fields and enums: what torv_package/torv_package.h declares for each
// of them. Included by that header, which defines tp_text, tp_bytes, TP_API and
// TP_HANDLE_WORDS first.
#ifndef TORV_PACKAGE_ACCESSORS_H
#define TORV_PACKAGE_ACCESSORS_H
{}
#endif
)",
                     generated_note(schema.file), body);
}

std::string getter(const Field& f) { return "r.get" + f.accessor + "()"; }

std::string handles(const Schema& schema) {
  const std::string readers = "::" + schema.cxx_namespace + "::";
  std::string out = fmt::format(R"(// {}
//
// Which schema reader each handle of the C API holds. Included by c_api/handle.hpp.
#pragma once

namespace torv_package::c_api {{
)",
                                generated_note(schema.file));
  for (const Record& r : schema.records) {
    out += fmt::format("\ntemplate <>\nstruct Handle<{}> {{\n  using reader = {}{}::Reader;\n}};\n", c_name(r.name),
                       readers, r.schema_name);
  }
  return out + "\n}  // namespace torv_package::c_api\n";
}

std::string definitions(const Schema& schema) {
  std::string out = fmt::format(R"(// {}
//
// The C API's accessors: each reads its field of a record handle through the view's schema
// readers, and stops anything thrown at the C boundary.
#include "c_api/handle.hpp"

using namespace torv_package::c_api;

extern "C" {{
)",
                                generated_note(schema.file));
  for (const Enum& e : schema.enums) {
    const std::string type = c_name(e.name);
    out += fmt::format("\nconst char* {}_name(enum {} value) {{\n  switch (value) {{\n", type, type);
    for (const Enumerant& v : e.enumerants) {
      out += fmt::format("    case {}: return {};\n", upper(type + "_" + snake_case(v.name)), cpp_string(v.name));
    }
    out += "  }\n  return nullptr;\n}\n";
  }
  for (const Record& r : schema.records) {
    const std::string record = c_name(r.name);
    for (const Field& f : r.schema_fields) {
      const std::string function = record + "_" + f.name;
      const std::string type = value_type(f);
      switch (f.kind) {
        case Kind::number:
          out += fmt::format("\n{} {}({} record) {{\n  return read(record, [](auto r) {{ return {}; }});\n}}\n", type,
                             function, record, getter(f));
          break;
        case Kind::enumeration:
          out += fmt::format(
              "\n{} {}({} record) {{\n  return read(record, [](auto r) {{ return static_cast<{}>({}); }});\n}}\n", type,
              function, record, type, getter(f));
          break;
        case Kind::text:
        case Kind::data:
        case Kind::record:
          out += fmt::format("\n{} {}({} record) {{\n  return read(record, [](auto r) {{ return to_c<{}>({}); }});\n}}\n",
                             type, function, record, type, getter(f));
          break;
        case Kind::number_list:
        case Kind::record_list:
          out += fmt::format(
              "\nsize_t {0}_count({1} record) {{\n  return read(record, [](auto r) {{ return size_t{{{2}.size()}}; }});\n}}\n"
              "\n{3} {0}_at({1} record, size_t index) {{\n"
              "  return read(record, [index](auto r) {{ return element<{3}>({2}, index); }});\n}}\n",
              function, record, getter(f), type);
          break;
      }
    }
  }
  return out + "\n}  // extern \"C\"\n";
}

}  // namespace

std::vector<File> c_api(const Schema& schema, const Inputs&) {
  return {{"torv_package/accessors.h", header(schema)},
          {"c_api_handles.hpp", handles(schema)},
          {"c_accessors.cpp", definitions(schema)}};
}

}  // namespace torv_codegen
