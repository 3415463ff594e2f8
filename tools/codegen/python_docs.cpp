// The Python module's docstrings: one for each record, its view, each member and each enum,
// the doc comments' text as it stands.

#include <fmt/format.h>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {

// What the docstring of every view class adds to its record's description.
constexpr std::string_view view_note = "A read-only view of it, read in place from a package that open() has validated.";

std::vector<File> python_docs(const Schema& schema, const Inputs&) {
  std::string out = cpp_header(schema.file,
                               "The Python module's docstrings. Docs<T>: `doc`, the docstring of record or enum T's "
                               "class; for a record also `view`, its view's, and `members`, each member's in the "
                               "table's order.",
                               {"<string_view>", "\"torv_package/application.hpp\""}, "torv_package::python");
  out += R"(
struct MemberDoc {
  std::string_view name;
  const char* doc;
};

template <class T>
struct Docs;
)";
  for (const Enum& e : schema.enums) {
    out += fmt::format("\ntemplate <>\nstruct Docs<{}> {{\n  static constexpr const char* doc = {};\n}};\n", e.name,
                       cpp_string(plain(e.doc)));
  }
  for (const Record& r : schema.records) {
    std::string members;
    for (const Field& f : r.fields) members += fmt::format("      {{\"{}\", {}}},\n", f.name, cpp_string(plain(f.doc)));
    out += fmt::format(R"(
template <>
struct Docs<{}> {{
  static constexpr const char* doc = {};
  static constexpr const char* view = {};
  static constexpr MemberDoc members[] = {{
{}  }};
}};
)",
                       r.name, cpp_string(plain(r.doc)), cpp_string(plain(r.doc) + "\n\n" + std::string(view_note)),
                       members);
  }
  out += "\n}  // namespace torv_package::python\n";
  return {{"python_docs.hpp", std::move(out)}};
}

}  // namespace torv_codegen
