// The schema table's rows (see torv_package/schema_table.hpp): what the reader, the writer,
// the tools and the bindings walk instead of naming fields.

#include <fmt/format.h>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {

std::vector<File> table(const Schema& schema, const Inputs&) {
  const std::string readers = "::" + schema.cxx_namespace + "::";
  std::string out = cpp_header(schema.file,
                               "For every enum of the model, its schema enum and its enumerants' names; for every "
                               "record, its schema struct, its names and one row per member, in the model's order. "
                               "Included by torv_package/schema_table.hpp, which defines the row macros.",
                               {}, "torv_package");
  for (const Enum& e : schema.enums) {
    std::string names;
    for (const Enumerant& v : e.enumerants) names += (names.empty() ? "" : ", ") + cpp_string(v.name);
    out += fmt::format(R"(
template <>
struct EnumTable<{0}> {{
  using schema_type = {1}{2};
  static constexpr std::string_view name = "{0}";
  static constexpr std::string_view enumerants[] = {{{3}}};
}};
)",
                       e.name, readers, e.schema_name, names);
  }
  for (const Record& r : schema.records) {
    std::string rows;
    for (const Field& f : r.fields) {
      rows += fmt::format("{}\n      TORV_PACKAGE_{}({}, {})", rows.empty() ? "" : ",", f.address ? "ADDRESS" : "FIELD",
                          f.name, f.accessor);
    }
    out += fmt::format(R"(
template <>
struct RecordTable<{0}> {{
  using record = {0};
  using schema_type = {1}{2};
  static constexpr std::string_view name = "{0}";
  static constexpr std::string_view view_name = "{3}";
  static constexpr auto fields = std::tuple({4});
}};
)",
                       r.name, readers, r.schema_name, r.view_name, rows);
  }
  std::string records, enums;
  for (const Record& r : schema.records) records += (records.empty() ? "" : ", ") + r.name;
  for (const Enum& e : schema.enums) enums += (enums.empty() ? "" : ", ") + e.name;
  out += fmt::format(R"(
// Every record and every enum of the model, in the schema's order.
using ModelRecords = table_detail::Types<{}>;
using ModelEnums = table_detail::Types<{}>;

}}  // namespace torv_package
)",
                     records, enums);
  return {{"torv_package/table_rows.hpp", std::move(out)}};
}

}  // namespace torv_codegen
