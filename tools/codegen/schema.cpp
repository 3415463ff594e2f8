#include "schema.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include <capnp/schema-loader.h>
#include <capnp/schema.h>
#include <fmt/format.h>

#include "text.hpp"

namespace torv_codegen {
namespace {

namespace cs = capnp::schema;
using Request = cs::CodeGeneratorRequest::Reader;

[[noreturn]] void refuse(const std::string& message) { throw std::runtime_error(message); }

std::string text(capnp::Text::Reader t) { return std::string(t.cStr(), t.size()); }

// The doc comments the request carries, by node.
class Docs {
 public:
  explicit Docs(Request request) {
    for (const auto info : request.getSourceInfo()) infos_.emplace(info.getId(), info);
  }
  std::string node(std::uint64_t id) const {
    const auto found = infos_.find(id);
    return found == infos_.end() ? std::string() : text(found->second.getDocComment());
  }
  std::string member(std::uint64_t id, unsigned index) const {
    const auto found = infos_.find(id);
    if (found == infos_.end() || index >= found->second.getMembers().size()) return {};
    return text(found->second.getMembers()[index].getDocComment());
  }

 private:
  std::map<std::uint64_t, cs::Node::SourceInfo::Reader> infos_;
};

// Our annotations (src/model.capnp), found by name: the request names every annotation
// that the schema uses.
class Annotations {
 public:
  explicit Annotations(Request request) {
    for (const auto node : request.getNodes()) {
      if (!node.isAnnotation()) continue;
      const std::string display = text(node.getDisplayName());
      const std::size_t colon = display.rfind(':');
      if (colon != std::string::npos && display.substr(0, colon).ends_with("model.capnp")) {
        names_.emplace(node.getId(), display.substr(colon + 1));
      }
    }
  }
  std::optional<cs::Value::Reader> find(capnp::List<cs::Annotation>::Reader list, std::string_view name) const {
    for (const auto a : list) {
      const auto found = names_.find(a.getId());
      if (found != names_.end() && found->second == name) return a.getValue();
    }
    return std::nullopt;
  }
  bool has(capnp::List<cs::Annotation>::Reader list, std::string_view name) const {
    return find(list, name).has_value();
  }
  std::optional<std::string> text_of(capnp::List<cs::Annotation>::Reader list, std::string_view name) const {
    const auto value = find(list, name);
    if (!value) return std::nullopt;
    return text(value->getText());
  }

 private:
  std::map<std::uint64_t, std::string> names_;
};

struct Names {
  std::map<std::uint64_t, std::string> model;   // record and enum names, by id
  std::map<std::uint64_t, std::string> schema;  // the schema's names, by id
};

// Fills the kind, width, type names and layout of `out` from the schema field.
void describe_type(const capnp::StructSchema::Field& field, const Names& names, Field& out) {
  const capnp::Type type = field.getType();
  const auto slot = field.getProto().getSlot();
  const auto number = [&](unsigned bits) {
    out.bits = bits;
    out.wire_type = bits == 32 ? "UInt32" : "UInt64";
  };
  switch (type.which()) {
    case cs::Type::UINT32:
    case cs::Type::UINT64:
      out.kind = Kind::number;
      number(type.which() == cs::Type::UINT32 ? 32 : 64);
      out.bytes = out.bits / 8;
      out.default_number = out.bits == 32 ? slot.getDefaultValue().getUint32() : slot.getDefaultValue().getUint64();
      break;
    case cs::Type::ENUM:
      out.kind = Kind::enumeration;
      out.bits = 16;
      out.bytes = 2;
      out.type = names.model.at(type.asEnum().getProto().getId());
      out.wire_type = names.schema.at(type.asEnum().getProto().getId());
      out.default_number = slot.getDefaultValue().getEnum();
      break;
    case cs::Type::TEXT:
      out.kind = Kind::text;
      out.wire_type = "Text";
      break;
    case cs::Type::DATA:
      out.kind = Kind::data;
      out.wire_type = "Data";
      break;
    case cs::Type::STRUCT:
      out.kind = Kind::record;
      out.type = names.model.at(type.asStruct().getProto().getId());
      out.wire_type = names.schema.at(type.asStruct().getProto().getId());
      break;
    case cs::Type::LIST: {
      const capnp::Type element = type.asList().getElementType();
      if (element.which() == cs::Type::UINT32 || element.which() == cs::Type::UINT64) {
        out.kind = Kind::number_list;
        number(element.which() == cs::Type::UINT32 ? 32 : 64);
      } else if (element.isStruct()) {
        out.kind = Kind::record_list;
        out.type = names.model.at(element.asStruct().getProto().getId());
        out.wire_type = names.schema.at(element.asStruct().getProto().getId());
      } else {
        refuse(fmt::format("{}: the model has no lists but of UInt32, UInt64 and structs", out.schema_name));
      }
      out.wire_type = "List(" + out.wire_type + ")";
      break;
    }
    default:
      refuse(fmt::format("{}: the model holds only UInt32, UInt64, enums, Text, Data, structs and lists of them",
                         out.schema_name));
  }
  const bool has_default = slot.getHadExplicitDefault();
  if (has_default && out.kind != Kind::number && out.kind != Kind::enumeration) {
    refuse(fmt::format("{}: only numbers and enums may declare a default", out.schema_name));
  }
  out.pointer = out.kind != Kind::number && out.kind != Kind::enumeration;
  out.offset = out.pointer ? slot.getOffset() : slot.getOffset() * out.bytes;
}

}  // namespace

const Record& Schema::record(std::string_view name) const {
  for (const Record& r : records) {
    if (r.name == name) return r;
  }
  refuse(fmt::format("no record {}", name));
}

const Enum& Schema::enumeration(std::string_view name) const {
  for (const Enum& e : enums) {
    if (e.name == name) return e;
  }
  refuse(fmt::format("no enum {}", name));
}

std::vector<const Record*> Schema::dependencies_first() const {
  std::vector<const Record*> out;
  std::set<std::string> placed, placing;
  const std::function<void(const Record&)> place = [&](const Record& r) {
    if (placed.contains(r.name)) return;
    if (!placing.insert(r.name).second) refuse(fmt::format("{} holds itself", r.name));
    for (const Field& f : r.fields) {
      if (f.kind == Kind::record || f.kind == Kind::record_list) place(record(f.type));
    }
    placed.insert(r.name);
    out.push_back(&r);
  };
  for (const Record& r : records) place(r);
  return out;
}

namespace {

Enum read_enum(const capnp::EnumSchema& node, const std::string& schema_name, const Names& names, const Docs& docs) {
  const std::uint64_t id = node.getProto().getId();
  Enum e{schema_name, names.model.at(id), id, docs.node(id), {}};
  unsigned index = 0;
  for (const auto enumerant : node.getEnumerants()) {
    const std::string name = text(enumerant.getProto().getName());
    e.enumerants.push_back({name, capitalised(name), docs.member(id, index++)});
  }
  return e;
}

Field read_field(const capnp::StructSchema::Field& field, const std::string& record, unsigned index,
                 const Names& names, const Docs& docs, const Annotations& annotations) {
  const auto proto = field.getProto();
  Field f;
  f.schema_name = text(proto.getName());
  f.name = snake_case(f.schema_name);
  f.accessor = capitalised(f.schema_name);
  f.ordinal = proto.getOrdinal().isExplicit() ? proto.getOrdinal().getExplicit() : index;
  const std::string where = record + "." + f.schema_name;
  if (!proto.isSlot()) refuse(where + ": the model has no groups");
  describe_type(field, names, f);
  f.address = annotations.has(proto.getAnnotations(), "address");
  f.header = annotations.has(proto.getAnnotations(), "header");
  f.initial = annotations.text_of(proto.getAnnotations(), "initial");
  if (f.initial && f.kind != Kind::text) refuse(where + ": only text has an initial text");
  if (f.address && f.kind != Kind::number) refuse(where + ": only a number is an address");
  f.doc = docs.member(field.getContainingStruct().getProto().getId(), index);
  return f;
}

Record read_record(const capnp::StructSchema& node, const std::string& schema_name, const Names& names,
                   const Docs& docs, const Annotations& annotations) {
  const auto proto = node.getProto();
  const auto layout = proto.getStruct();
  if (layout.getDiscriminantCount() != 0) refuse(schema_name + ": the model has no unions");
  Record r;
  r.schema_name = schema_name;
  r.name = names.model.at(proto.getId());
  r.view_name = annotations.text_of(proto.getAnnotations(), "view").value_or(r.name + "View");
  r.id = proto.getId();
  r.doc = docs.node(proto.getId());
  r.data_words = layout.getDataWordCount();
  r.pointers = layout.getPointerCount();
  r.operations = annotations.has(proto.getAnnotations(), "operations");
  unsigned index = 0;
  for (const auto field : node.getFields()) {
    r.schema_fields.push_back(read_field(field, schema_name, index++, names, docs, annotations));
  }
  // The model's order: the schema's, with each field annotated `after` moved right behind
  // the field it names.
  for (const Field& f : r.schema_fields) {
    if (!f.header) r.fields.push_back(f);
  }
  for (const auto field : node.getFields()) {
    const auto after = annotations.text_of(field.getProto().getAnnotations(), "after");
    if (!after) continue;
    const auto from = std::ranges::find(r.fields, text(field.getProto().getName()), &Field::schema_name);
    Field moving = std::move(*from);
    r.fields.erase(from);
    const auto to = std::ranges::find(r.fields, *after, &Field::schema_name);
    if (to == r.fields.end()) refuse(fmt::format("{}.{}: after names no member, {}", schema_name, moving.schema_name, *after));
    r.fields.insert(to + 1, std::move(moving));
  }
  return r;
}

}  // namespace

Schema read_schema(Request request) {
  if (request.getRequestedFiles().size() != 1) refuse("give the generator one schema file");
  capnp::SchemaLoader loader;
  for (const auto node : request.getNodes()) loader.load(node);
  const Docs docs(request);
  const Annotations annotations(request);

  Schema schema;
  const auto requested = request.getRequestedFiles()[0];
  schema.file = text(requested.getFilename());
  schema.file = schema.file.substr(schema.file.rfind('/') + 1);
  schema.id = requested.getId();
  schema.doc = docs.node(schema.id);
  for (const auto a : loader.get(schema.id).getProto().getAnnotations()) {
    const auto node = loader.get(a.getId()).getProto();
    if (text(node.getDisplayName()).ends_with("c++.capnp:namespace")) schema.cxx_namespace = text(a.getValue().getText());
  }
  if (schema.cxx_namespace.empty()) refuse(schema.file + ": give the readers a namespace with $Cxx.namespace");

  // Names first: a field names the record or enum it holds by the model's name.
  Names names;
  const auto nested = loader.get(schema.id).getProto().getNestedNodes();
  for (const auto entry : nested) {
    const auto proto = loader.get(entry.getId()).getProto();
    names.schema.emplace(entry.getId(), text(entry.getName()));
    const auto model_name = annotations.text_of(proto.getAnnotations(), "name");
    names.model.emplace(entry.getId(), model_name.value_or(text(entry.getName())));
  }
  for (const auto entry : nested) {
    const capnp::Schema node = loader.get(entry.getId());
    const std::string name = text(entry.getName());
    if (node.getProto().getNestedNodes().size() != 0) refuse(name + ": declare every type at the top level");
    if (node.getProto().isEnum()) {
      schema.enums.push_back(read_enum(node.asEnum(), name, names, docs));
    } else if (node.getProto().isStruct()) {
      schema.records.push_back(read_record(node.asStruct(), name, names, docs, annotations));
    }  // constants and annotations are not part of the model
  }
  return schema;
}

}  // namespace torv_codegen
