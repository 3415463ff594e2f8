#pragma once

// The package schema as the generator's backends see it: records, fields and enums with
// the names the model gives them, their wire layout, their defaults and their doc
// comments, read from a CodeGeneratorRequest.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <capnp/schema.capnp.h>

namespace torv_codegen {

// How the model holds a field (as the library's schema table names the kinds).
enum class Kind { number, enumeration, text, data, number_list, record_list, record };

struct Field {
  std::string schema_name;  // physicalTile
  std::string name;         // physical_tile: the model's, JSON's and Python's name
  std::string accessor;     // PhysicalTile, as in the generated getPhysicalTile()
  unsigned ordinal = 0;
  Kind kind = Kind::number;
  unsigned bits = 0;         // a number's or a number list element's width: 32 or 64
  std::string type;          // the model's name of a record, a record list's element or an enum
  std::string wire_type;     // the schema's spelling: UInt32, Text, List(Segment), ...
  bool pointer = false;      // in the pointer section (else in the data section)
  unsigned offset = 0;       // pointer slot, or byte offset in the data section
  unsigned bytes = 0;        // size in the data section
  std::uint64_t default_number = 0;   // a number's default; an enum's default enumerant
  std::optional<std::string> initial;  // text a record made from scratch holds, if not empty
  bool address = false;      // shown in hex
  bool header = false;       // checked and written, not held in the model
  std::string doc;
};

struct Record {
  std::string schema_name;  // ProfileStepPlan
  std::string name;         // ProfileStep: the model's
  std::string view_name;    // ProfileStepView
  std::uint64_t id = 0;
  std::string doc;
  unsigned data_words = 0;
  unsigned pointers = 0;
  bool operations = false;  // declared by hand around its generated members
  std::vector<Field> schema_fields;  // every field, in the schema's (ordinal) order
  std::vector<Field> fields;         // the model's members, in the model's order
};

struct Enumerant {
  std::string schema_name;  // exchange
  std::string name;         // Exchange
  std::string doc;
};

struct Enum {
  std::string schema_name;
  std::string name;
  std::uint64_t id = 0;
  std::string doc;
  std::vector<Enumerant> enumerants;
};

struct Schema {
  std::string file;  // application.capnp
  std::uint64_t id = 0;
  std::string cxx_namespace;  // of the schema's generated readers, from $Cxx.namespace
  std::string doc;
  std::vector<Enum> enums;      // in declaration order
  std::vector<Record> records;  // in declaration order

  const Record& record(std::string_view name) const;
  const Enum& enumeration(std::string_view name) const;
  // Every record after the records it holds, in declaration order otherwise: the order in
  // which C++ can define them.
  std::vector<const Record*> dependencies_first() const;
};

// The schema of the one file the request asks for. Throws std::runtime_error on what the
// model cannot hold (a union, a signed number, a list of lists...), naming it.
Schema read_schema(capnp::schema::CodeGeneratorRequest::Reader request);

}  // namespace torv_codegen
