#pragma once

// The generator's outputs: one backend per mirror of the schema, each a function from the
// schema to the files it writes. A new mirror is one more function and one more row in
// main.cpp's table.

#include <string>
#include <vector>

#include "schema.hpp"

namespace torv_codegen {

struct File {
  std::string path;  // relative to the output folder
  std::string text;
};

// What a backend takes besides the schema: hand-written parts of its output.
struct Inputs {
  std::string stubs;  // the hand-written part of the Python stubs
};

using Backend = std::vector<File> (*)(const Schema&, const Inputs&);

// torv_package/records.hpp (the model's enums and records, with every member initialised to
// its default) and torv_package/<record>_members.hpp for a record declared by hand.
std::vector<File> records(const Schema& schema, const Inputs&);
// torv_package/table_rows.hpp: the schema table's rows and the lists of records and enums.
std::vector<File> table(const Schema& schema, const Inputs&);
// torv_package/view_accessors.hpp: the record views' named accessors and their aliases.
std::vector<File> view(const Schema& schema, const Inputs&);
// torv_package/accessors.h, c_api_handles.hpp and c_accessors.cpp: the C API's enums,
// record handles, accessors and member lists, and the reader each handle holds.
std::vector<File> c_api(const Schema& schema, const Inputs&);
// python_docs.hpp: the Python module's docstrings of records, enums and members.
std::vector<File> python_docs(const Schema& schema, const Inputs&);
// __init__.pyi: the Python stubs, the records' part merged into the hand-written part.
std::vector<File> stubs(const Schema& schema, const Inputs& inputs);
// package.schema.json: the JSON Schema of `torv-package json`'s document.
std::vector<File> json_schema(const Schema& schema, const Inputs&);
// torv-package.5: the field reference of the package format.
std::vector<File> man_page(const Schema& schema, const Inputs&);
// <schema>.layout: the wire layout, which a test compares with the checked-in lock.
std::vector<File> layout(const Schema& schema, const Inputs&);

}  // namespace torv_codegen
