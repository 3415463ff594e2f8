#include "torv_package/schema_table.hpp"

#include <cctype>

namespace torv_package::table_detail {

EnumerantNames::EnumerantNames(capnp::EnumSchema schema) {
  const auto enumerants = schema.getEnumerants();
  names_.reserve(enumerants.size());
  for (const auto enumerant : enumerants) {
    const capnp::Text::Reader name = enumerant.getProto().getName();
    std::string model(name.cStr(), name.size());
    // Schema enumerants are camelCase, the model's are PascalCase.
    if (!model.empty()) model[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(model[0])));
    names_.push_back(std::move(model));
  }
  // Views are taken only once every name is in place, so none can move under them.
  views_.assign(names_.begin(), names_.end());
}

}  // namespace torv_package::table_detail
