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
  if (schema.cxx_namespace.empty()) refuse(fmt::format("{}: give the readers a namespace with $Cxx.namespace", schema.file));

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
    const auto proto = node.getProto();
    const std::string schema_name = text(entry.getName());
    if (proto.getNestedNodes().size() != 0) refuse(fmt::format("{}: declare every type at the top level", schema_name));
    if (proto.isEnum()) {
      Enum e{schema_name, names.model.at(proto.getId()), proto.getId(), docs.node(proto.getId()), {}};
      unsigned index = 0;
      for (const auto enumerant : node.asEnum().getEnumerants()) {
        const std::string name = text(enumerant.getProto().getName());
        e.enumerants.push_back({name, capitalised(name), docs.member(proto.getId(), index++)});
      }
      schema.enums.push_back(std::move(e));
      continue;
    }
    if (!proto.isStruct()) continue;  // constants and annotations are not part of the model
    const auto st = proto.getStruct();
    if (st.getDiscriminantCount() != 0) refuse(fmt::format("{}: the model has no unions", schema_name));
    Record r;
    r.schema_name = schema_name;
    r.name = names.model.at(proto.getId());
    r.view_name = annotations.text_of(proto.getAnnotations(), "view").value_or(r.name + "View");
    r.id = proto.getId();
    r.doc = docs.node(proto.getId());
    r.data_words = st.getDataWordCount();
    r.pointers = st.getPointerCount();
    r.operations = annotations.has(proto.getAnnotations(), "operations");
    unsigned index = 0;
    for (const auto field : node.asStruct().getFields()) {
      const auto fp = field.getProto();
      Field f;
      f.schema_name = text(fp.getName());
      f.name = snake_case(f.schema_name);
      f.accessor = capitalised(f.schema_name);
      f.ordinal = fp.getOrdinal().isExplicit() ? fp.getOrdinal().getExplicit() : index;
      if (!fp.isSlot()) refuse(fmt::format("{}.{}: the model has no groups", schema_name, f.schema_name));
      describe_type(field, names, f);
      f.address = annotations.has(fp.getAnnotations(), "address");
      f.header = annotations.has(fp.getAnnotations(), "header");
      f.initial = annotations.text_of(fp.getAnnotations(), "initial");
      if (f.initial && f.kind != Kind::text) refuse(fmt::format("{}.{}: only text has an initial text", schema_name, f.schema_name));
      if (f.address && f.kind != Kind::number) refuse(fmt::format("{}.{}: only a number is an address", schema_name, f.schema_name));
      f.doc = docs.member(proto.getId(), index++);
      r.schema_fields.push_back(std::move(f));
    }
    // The model's order: the schema's, with each field annotated `after` moved right
    // behind the field it names.
    for (const Field& f : r.schema_fields) {
      if (!f.header) r.fields.push_back(f);
    }
    for (const auto field : node.asStruct().getFields()) {
      const auto after = annotations.text_of(field.getProto().getAnnotations(), "after");
      if (!after) continue;
      const std::string moving = text(field.getProto().getName());
      const auto from = std::ranges::find(r.fields, moving, &Field::schema_name);
      Field f = std::move(*from);
      r.fields.erase(from);
      const auto to = std::ranges::find(r.fields, *after, &Field::schema_name);
      if (to == r.fields.end()) refuse(fmt::format("{}.{}: after names no field of the model, {}", schema_name, moving, *after));
      r.fields.insert(to + 1, std::move(f));
    }
    schema.records.push_back(std::move(r));
  }
  return schema;
}

}  // namespace torv_codegen
