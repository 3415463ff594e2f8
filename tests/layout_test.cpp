// Pins the wire layout of the package schema: every struct's section sizes and every
// field's ordinal, type and slot. A schema edit that would move a field in existing
// package files fails here. Then checks the tables that map the schema onto the model.
#include <algorithm>
#include <cctype>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <capnp/dynamic.h>
#include <capnp/message.h>
#include <capnp/schema.h>
#include <gtest/gtest.h>

#include "application.capnp.h"
#include "torv_package/schema_table.hpp"

namespace torv_package {
namespace {

using Type = capnp::schema::Type;

struct FieldLayout {
  std::string name;
  unsigned ordinal;
  Type::Which type;
  unsigned offset;  // in units of the field's own size; pointer slot for pointers
};

struct StructLayout {
  capnp::StructSchema schema;
  unsigned data_words;
  unsigned pointers;
  std::vector<FieldLayout> fields;
};

template <class T>
capnp::StructSchema of() {
  return capnp::Schema::from<T>();
}

TEST(SchemaLayout, MatchesExistingPackageFiles) {
  namespace s = schema;
  const StructLayout layouts[] = {
      {of<s::Application>(), 2, 12,
       {{"schemaVersion", 0, Type::UINT32, 0}, {"compilerVersion", 1, Type::TEXT, 0},
        {"target", 2, Type::TEXT, 1}, {"tileMemoryBase", 3, Type::UINT32, 1},
        {"tileMemorySize", 4, Type::UINT32, 2}, {"tiles", 5, Type::LIST, 2},
        {"inputs", 6, Type::LIST, 3}, {"outputs", 7, Type::LIST, 4},
        {"weights", 8, Type::LIST, 5}, {"hostExchange", 9, Type::STRUCT, 6},
        {"entryPoints", 10, Type::LIST, 7}, {"deviceConfigWrites", 11, Type::LIST, 8},
        {"profileTiles", 12, Type::LIST, 9}, {"debugSymbols", 13, Type::LIST, 10},
        {"debugRegions", 14, Type::LIST, 11}}},
      {of<s::TileImage>(), 2, 1,
       {{"physicalTile", 0, Type::UINT32, 0}, {"entryPoint", 1, Type::UINT32, 1},
        {"segments", 2, Type::LIST, 0}, {"commandAddress", 3, Type::UINT32, 2},
        {"diagnosticAddress", 4, Type::UINT32, 3}}},
      {of<s::Segment>(), 2, 1,
       {{"address", 0, Type::UINT32, 0}, {"memorySize", 1, Type::UINT32, 1},
        {"data", 2, Type::DATA, 0}, {"flags", 3, Type::UINT32, 2}}},
      {of<s::RegionSlice>(), 3, 0,
       {{"tile", 0, Type::UINT32, 0}, {"tileAddress", 1, Type::UINT32, 1},
        {"fileOffset", 2, Type::UINT64, 1}, {"size", 3, Type::UINT64, 2}}},
      {of<s::Binding>(), 0, 4,
       {{"name", 0, Type::TEXT, 0}, {"dtype", 1, Type::TEXT, 1}, {"shape", 2, Type::LIST, 2},
        {"slices", 3, Type::LIST, 3}}},
      {of<s::HostPage>(), 2, 0, {{"index", 0, Type::UINT32, 0}, {"size", 1, Type::UINT64, 1}}},
      {of<s::HostSlice>(), 4, 0,
       {{"page", 0, Type::UINT32, 0}, {"pageOffset", 1, Type::UINT64, 1},
        {"fileOffset", 2, Type::UINT64, 2}, {"size", 3, Type::UINT64, 3}}},
      {of<s::HostCall>(), 2, 5,
       {{"name", 0, Type::TEXT, 0}, {"command", 1, Type::UINT32, 0},
        {"phases", 2, Type::UINT32, 1}, {"inputs", 3, Type::LIST, 1},
        {"outputs", 4, Type::LIST, 2}, {"invocations", 5, Type::UINT32, 2},
        {"inputBatchEnds", 6, Type::LIST, 3}, {"outputBatchEnds", 7, Type::LIST, 4}}},
      {of<s::HostExchange>(), 2, 3,
       {{"startupMark", 0, Type::UINT32, 0}, {"commandPage", 1, Type::UINT32, 1},
        {"commandOffset", 2, Type::UINT64, 1}, {"pages", 3, Type::LIST, 0},
        {"attachOrder", 4, Type::LIST, 1}, {"calls", 5, Type::LIST, 2}}},
      {of<s::EntryPoint>(), 1, 1,
       {{"name", 0, Type::TEXT, 0}, {"command", 1, Type::UINT32, 0},
        {"externalSyncs", 2, Type::UINT32, 1}}},
      {of<s::DeviceConfigWrite>(), 1, 0,
       {{"offset", 0, Type::UINT32, 0}, {"value", 1, Type::UINT32, 1}}},
      {of<s::ProfileMetadata>(), 0, 2, {{"name", 0, Type::TEXT, 0}, {"value", 1, Type::TEXT, 1}}},
      {of<s::ProfileExchangeActivity>(), 2, 0,
       {{"kind", 0, Type::ENUM, 0}, {"startCycle", 1, Type::UINT32, 1},
        {"endCycle", 2, Type::UINT32, 2}}},
      {of<s::ProfileStepPlan>(), 3, 4,
       {{"localIndex", 0, Type::UINT32, 0}, {"phase", 1, Type::UINT32, 1},
        {"epoch", 2, Type::UINT32, 2}, {"operation", 3, Type::TEXT, 0},
        {"kind", 4, Type::ENUM, 6}, {"kernel", 5, Type::TEXT, 1},
        {"metadata", 6, Type::LIST, 2}, {"exchangeActivities", 7, Type::LIST, 3},
        {"exchangeEventCycles", 8, Type::UINT32, 4}}},
      {of<s::TileProfilePlan>(), 1, 1,
       {{"physicalTile", 0, Type::UINT32, 0}, {"steps", 1, Type::LIST, 0}}},
      {of<s::DebugSymbol>(), 1, 1, {{"name", 0, Type::TEXT, 0}, {"address", 1, Type::UINT32, 0}}},
      {of<s::DebugRegion>(), 2, 1,
       {{"physicalTile", 0, Type::UINT32, 0}, {"address", 1, Type::UINT32, 1},
        {"size", 2, Type::UINT32, 2}, {"name", 3, Type::TEXT, 0}}},
  };

  for (const auto& layout : layouts) {
    const auto proto = layout.schema.getProto();
    SCOPED_TRACE(proto.getDisplayName().cStr());
    EXPECT_EQ(proto.getStruct().getDataWordCount(), layout.data_words);
    EXPECT_EQ(proto.getStruct().getPointerCount(), layout.pointers);
    EXPECT_EQ(proto.getStruct().getDiscriminantCount(), 0u) << "no unions";
    const auto fields = layout.schema.getFields();
    ASSERT_EQ(fields.size(), layout.fields.size());
    for (unsigned i = 0; i < fields.size(); ++i) {
      const auto field = fields[i].getProto();
      const auto& want = layout.fields[i];
      SCOPED_TRACE(want.name);
      EXPECT_EQ(field.getName().cStr(), want.name);
      ASSERT_TRUE(field.isSlot()) << "no groups";
      ASSERT_TRUE(field.getOrdinal().isExplicit());
      EXPECT_EQ(field.getOrdinal().getExplicit(), want.ordinal);
      EXPECT_EQ(field.getSlot().getType().which(), want.type);
      EXPECT_EQ(field.getSlot().getOffset(), want.offset);
    }
  }
}

// The tables of schema_table.hpp against the schema: every schema field has exactly one
// row, named as the field in snake_case, of a kind that stores the field's type, whose
// accessors reach that field and no other, in the schema's order but for the moves below.

// Application's header, which the reader checks and the writer writes as code.
const std::set<std::string, std::less<>> header_fields = {"schemaVersion", "target", "tileMemoryBase",
                                                          "tileMemorySize"};

// Where a table's order differs from the schema's: `field` comes right after `after`.
// TileImage's rows follow the model, which keeps the fields added to the schema after
// `segments` with the other numbers.
struct Moved {
  std::string_view record, field, after;
};
constexpr Moved moved[] = {{"TileImage", "segments", "diagnosticAddress"}};

std::string camel(std::string_view snake) {
  std::string out;
  for (std::size_t i = 0; i < snake.size(); ++i) {
    if (snake[i] == '_' && i + 1 < snake.size()) {
      out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(snake[++i]))));
    } else {
      out.push_back(snake[i]);
    }
  }
  return out;
}

template <class Record>
std::vector<std::string> expected_order() {
  std::vector<std::string> names;
  for (const auto field : capnp::Schema::from<schema_of<Record>>().getFields()) {
    if (std::is_same_v<Record, Application> && header_fields.contains(field.getProto().getName().cStr())) {
      continue;
    }
    names.emplace_back(field.getProto().getName().cStr());
  }
  for (const Moved& m : moved) {
    if (m.record != RecordTable<Record>::name) continue;
    const auto from = std::find(names.begin(), names.end(), m.field);
    if (from == names.end()) continue;  // the comparison of orders reports it
    std::string field = std::move(*from);
    names.erase(from);
    const auto after = std::find(names.begin(), names.end(), m.after);
    names.insert(after == names.end() ? after : after + 1, std::move(field));
  }
  return names;
}

// The schema type that a row's kind stores, and for lists and structs what they hold.
template <class Row>
void expect_stored_type(capnp::Type type) {
  using Member = typename Row::member_type;
  using Element = typename Row::element_type;
  const auto width = [](std::size_t bytes) { return bytes == 8 ? Type::UINT64 : Type::UINT32; };
  if constexpr (Row::kind == FieldKind::number) {
    static_assert(std::is_unsigned_v<Member>);
    EXPECT_EQ(type.which(), width(sizeof(Member)));
  } else if constexpr (Row::kind == FieldKind::enumeration) {
    ASSERT_TRUE(type.isEnum());
    EXPECT_EQ(type.asEnum(), capnp::Schema::from<typename EnumTable<Member>::schema_type>());
  } else if constexpr (Row::kind == FieldKind::text) {
    EXPECT_EQ(type.which(), Type::TEXT);
  } else if constexpr (Row::kind == FieldKind::data) {
    EXPECT_EQ(type.which(), Type::DATA);
  } else if constexpr (Row::kind == FieldKind::number_list) {
    ASSERT_TRUE(type.isList());
    static_assert(std::is_unsigned_v<Element>);
    EXPECT_EQ(type.asList().getElementType().which(), width(sizeof(Element)));
  } else if constexpr (Row::kind == FieldKind::record_list) {
    ASSERT_TRUE(type.isList());
    ASSERT_TRUE(type.asList().getElementType().isStruct());
    EXPECT_EQ(type.asList().getStructElementType(), capnp::Schema::from<schema_of<Element>>());
  } else {
    ASSERT_TRUE(type.isStruct());
    EXPECT_EQ(type.asStruct(), capnp::Schema::from<schema_of<Member>>());
  }
}

// Writes a non-default value through the row's setter (or initialiser) and reads it back
// through its getter; true when the getter sees it.
template <class Row>
bool write_and_read_back(Row row, typename schema_of<typename Row::record_type>::Builder out) {
  const auto in = out.asReader();
  if constexpr (Row::kind == FieldKind::number) {
    row.set(out, 7);
    return row.get(in) == 7;
  } else if constexpr (Row::kind == FieldKind::enumeration) {
    const auto value = static_cast<typename EnumTable<typename Row::member_type>::schema_type>(1);
    row.set(out, value);
    return row.get(in) == value;
  } else if constexpr (Row::kind == FieldKind::text) {
    row.set(out, "x");
    return std::string_view(row.get(in).cStr()) == "x";
  } else if constexpr (Row::kind == FieldKind::data) {
    const kj::byte byte = 1;
    row.set(out, capnp::Data::Reader(&byte, 1));
    return row.get(in).size() == 1;
  } else if constexpr (Row::kind == FieldKind::record) {
    row.init(out);
    return row.get(in).totalSize().wordCount != 0;
  } else {
    row.init(out, 1u);
    return row.get(in).size() == 1;
  }
}

template <class Record>
void expect_table_matches_schema(std::set<std::string_view>& checked) {
  if (!checked.insert(RecordTable<Record>::name).second) return;
  SCOPED_TRACE(RecordTable<Record>::name);
  const auto schema = capnp::Schema::from<schema_of<Record>>();
  std::vector<std::string> rows;
  for_each_field<Record>([&](auto row) {
    using Row = decltype(row);
    const std::string name = camel(row.name);
    rows.push_back(name);
    SCOPED_TRACE(name);
    KJ_IF_MAYBE (field, schema.findFieldByName(name)) {
      expect_stored_type<Row>(field->getType());
    } else {
      ADD_FAILURE() << "no schema field";
      return;
    }
    capnp::MallocMessageBuilder message;
    const auto out = message.initRoot<schema_of<Record>>();
    EXPECT_TRUE(write_and_read_back(row, out));
    const auto written = capnp::toDynamic(out.asReader());
    for (const auto field : schema.getFields()) {
      EXPECT_EQ(written.has(field, capnp::HasMode::NON_DEFAULT), field.getProto().getName() == name)
          << "written: " << field.getProto().getName().cStr();
    }
    if constexpr (Row::kind == FieldKind::record_list) expect_table_matches_schema<typename Row::element_type>(checked);
    if constexpr (Row::kind == FieldKind::record) expect_table_matches_schema<typename Row::member_type>(checked);
  });
  EXPECT_EQ(rows, expected_order<Record>());
}

// Reached from Application through its rows, so every record of the model is checked.
TEST(SchemaTable, HoldsExactlyTheSchemasFields) {
  std::set<std::string_view> checked;
  expect_table_matches_schema<Application>(checked);
}

TEST(SchemaTable, EnumerantNamesAreTheSchemasCapitalised) {
  struct Case {
    std::span<const std::string_view> names;
    std::vector<std::string_view> expected;
    std::string_view last;  // the name of the model's last enumerator
  };
  const Case cases[] = {
      {enumerant_names<ProfileStepKind>(), {"Exchange", "Compute", "Synchronization", "Idle"},
       enumerant_name(ProfileStepKind::Idle)},
      {enumerant_names<ProfileExchangeActivityKind>(), {"Send", "Receive"},
       enumerant_name(ProfileExchangeActivityKind::Receive)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::vector(c.names.begin(), c.names.end()), c.expected);
    EXPECT_EQ(c.last, c.expected.back());
  }
  EXPECT_EQ(enumerant_name(static_cast<ProfileStepKind>(4)), "");
}

}  // namespace
}  // namespace torv_package
