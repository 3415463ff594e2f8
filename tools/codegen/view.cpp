// The record views' named accessors (see torv_package/view.hpp): one per member of the
// model, with its description, and an alias for each view.

#include <fmt/format.h>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {
namespace {

std::string value_type(const Field& f) {
  switch (f.kind) {
    case Kind::number: return fmt::format("std::uint{}_t", f.bits);
    case Kind::enumeration: return f.type;
    case Kind::text: return "std::string_view";
    case Kind::data: return "std::span<const std::uint8_t>";
    case Kind::number_list: return fmt::format("NumberListView<std::uint{}_t>", f.bits);
    case Kind::record_list: return "RecordListView<" + f.type + ">";
    case Kind::record: return "View<" + f.type + ">";
  }
  return {};
}

}  // namespace

std::vector<File> view(const Schema& schema, const Inputs&) {
  std::string out = cpp_header(schema.file,
                               "The record views' named accessors: each gives its member of the model as read in "
                               "place. Included by torv_package/view.hpp.",
                               {}, "torv_package");
  std::string aliases;
  for (const Record& r : schema.records) {
    out += '\n' + cpp_comment(r.doc, "");
    out += fmt::format("template <>\nclass View<{0}> : public RecordView<{0}> {{\n public:\n  using RecordView::RecordView;\n",
                       r.name);
    for (const Field& f : r.fields) {
      out += '\n' + cpp_comment(f.doc, "  ");
      out += fmt::format("  {} {}() const {{ return get<&{}::{}>(); }}\n", value_type(f), f.name, r.name, f.name);
    }
    out += "};\n";
    if (!r.operations) aliases += fmt::format("using {} = View<{}>;\n", r.view_name, r.name);
  }
  out += "\n" + aliases + "\n}  // namespace torv_package\n";
  return {{"torv_package/view_accessors.hpp", std::move(out)}};
}

}  // namespace torv_codegen
