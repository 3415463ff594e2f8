// The JSON Schema (draft 2020-12) of the document `torv-package json` writes: one object
// per record with every member required and no other, numbers within their width, enums by
// their enumerants' names, and segment data in each of json's forms. Descriptions are the
// doc comments.

#include <nlohmann/json.hpp>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {
namespace {

using Json = nlohmann::ordered_json;

// A reference to a definition of $defs.
Json definition(std::string_view name) {
  Json out = Json::object();
  out["$ref"] = "#/$defs/" + std::string(name);
  return out;
}

Json typed(std::string_view type) {
  Json out = Json::object();
  out["type"] = type;
  return out;
}

Json pattern(std::string_view regex) {
  Json out = typed("string");
  out["pattern"] = regex;
  return out;
}

// A number of `bits` bits: json writes it in decimal; build also takes it as a string of
// hex digits after 0x, as addresses are shown elsewhere.
Json number(int bits) {
  Json decimal = typed("integer");
  decimal["minimum"] = 0;
  decimal["maximum"] = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  Json hex = pattern("^0[xX]0*[0-9a-fA-F]{1," + std::to_string(bits / 4) + "}$");
  hex["description"] = "The number in hex after 0x, which build also takes; json writes decimal numbers.";
  Json out = Json::object();
  out["anyOf"] = Json::array({std::move(decimal), std::move(hex)});
  return out;
}

Json array_of(Json items) {
  Json out = typed("array");
  out["items"] = std::move(items);
  return out;
}

// An object with exactly these properties, all required.
Json closed_object(Json properties) {
  Json out = typed("object");
  Json required = Json::array();
  for (const auto& [name, value] : properties.items()) required.push_back(name);
  out["properties"] = std::move(properties);
  out["required"] = std::move(required);
  out["additionalProperties"] = false;
  return out;
}

// How `json` writes segment data: its size and SHA-256 (--data=summary), its size alone
// (--data=none), or every byte as lowercase hex (--data=hex) or padded base64
// (--data=base64).
Json data_forms() {
  Json summary = Json::object();
  summary["size"] = definition("u64");
  Json digest = summary;
  digest["sha256"] = pattern("^[0-9a-f]{64}$");
  Json out = Json::object();
  out["description"] =
      "Segment data: its size and SHA-256 (--data=summary), its size alone (--data=none), or all its bytes as "
      "lowercase hex (--data=hex) or padded base64 (--data=base64).";
  out["anyOf"] = Json::array({closed_object(summary), closed_object(digest), pattern("^([0-9a-f]{2})*$"),
                              pattern("^([A-Za-z0-9+/]{4})*([A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$")});
  return out;
}

Json member(const Schema& schema, const Field& f) {
  const std::string width = f.bits == 64 ? "u64" : "u32";
  Json out;
  switch (f.kind) {
    case Kind::number: out = definition(width); break;
    case Kind::enumeration:
      out = Json::object();
      out["enum"] = Json::array();
      for (const Enumerant& v : schema.enumeration(f.type).enumerants) out["enum"].push_back(v.name);
      break;
    case Kind::text: out = typed("string"); break;
    case Kind::data: out = definition("data"); break;
    case Kind::number_list: out = array_of(definition(width)); break;
    case Kind::record_list: out = array_of(definition(f.type)); break;
    case Kind::record: out = definition(f.type); break;
  }
  out["description"] = plain(f.doc);
  return out;
}

// The object of a record, its description first.
Json object(const Schema& schema, const Record& r) {
  Json properties = Json::object();
  for (const Field& f : r.fields) properties[f.name] = member(schema, f);
  Json out = Json::object();
  out["description"] = plain(r.doc);
  const Json closed = closed_object(std::move(properties));
  for (const auto& [key, value] : closed.items()) out[key] = value;
  return out;
}

}  // namespace

std::vector<File> json_schema(const Schema& schema, const Inputs&) {
  // The document is the record declared with operations of its own (Application); every
  // other record is a definition.
  const Record* root = nullptr;
  Json defs = Json::object();
  defs["u32"] = number(32);
  defs["u64"] = number(64);
  defs["data"] = data_forms();
  for (const Record& r : schema.records) {
    if (r.operations) {
      root = &r;
    } else {
      defs[r.name] = object(schema, r);
    }
  }
  if (root == nullptr) return {};
  Json document = Json::object();
  document["$schema"] = "https://json-schema.org/draft/2020-12/schema";
  document["$id"] = "urn:torv-package:package.schema.json";
  document["title"] = "torv-package json";
  const Json top = object(schema, *root);
  for (const auto& [key, value] : top.items()) document[key] = value;
  document["$defs"] = std::move(defs);
  return {{"package.schema.json", document.dump(2) + "\n"}};
}

}  // namespace torv_codegen
