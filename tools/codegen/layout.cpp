// The lock of the wire layout: the schema's file and type IDs, every struct's section sizes,
// and every field's ordinal, type, default and place, in a text that a test compares with
// the checked-in copy (tests/golden/application.layout), so that a change of the package
// file format shows as a reviewed diff.

#include <fmt/format.h>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {

std::vector<File> layout(const Schema& schema, const Inputs&) {
  std::string out = fmt::format(R"(# The wire layout of {0}, as the schema generator (tools/codegen) writes it from
# the schema: type IDs, section sizes in 64-bit words and pointers, and each field's
# ordinal, type, default and place (data bytes, or pointer slot). The build writes it again
# and a test compares it with the checked-in copy: a difference is a change of the file
# format, which existing packages would not follow.
file {0} @0x{1:016x}
)",
                                schema.file, schema.id);
  for (const Record& r : schema.records) {
    out += fmt::format("\nstruct {} @0x{:016x}: data {} word{}, {} pointer{}\n", r.schema_name, r.id, r.data_words,
                       r.data_words == 1 ? "" : "s", r.pointers, r.pointers == 1 ? "" : "s");
    for (const Field& f : r.schema_fields) {
      std::string type = f.wire_type;
      if ((f.kind == Kind::number || f.kind == Kind::enumeration) && f.default_number != 0) {
        type += fmt::format(" = {}", f.default_number);
      }
      const std::string place = f.pointer ? fmt::format("pointer {}", f.offset)
                                          : fmt::format("bytes {}-{}", f.offset, f.offset + f.bytes - 1);
      out += fmt::format("  @{:<2} {:<20} {:<30} {}\n", f.ordinal, f.schema_name, type, place);
    }
  }
  for (const Enum& e : schema.enums) {
    out += fmt::format("\nenum {} @0x{:016x}\n", e.schema_name, e.id);
    for (std::size_t i = 0; i < e.enumerants.size(); ++i) out += fmt::format("  @{:<2} {}\n", i, e.enumerants[i].schema_name);
  }
  return {{snake_case(schema.file.substr(0, schema.file.find('.'))) + ".layout", std::move(out)}};
}

}  // namespace torv_codegen
