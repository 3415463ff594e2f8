// Pins the wire layout of the package schema: every struct's section sizes and every
// field's ordinal, type and slot. A schema edit that would move a field in existing
// package files fails here.
#include <string>
#include <vector>

#include <capnp/schema.h>
#include <gtest/gtest.h>

#include "application.capnp.h"

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

TEST(SchemaLayout, ListElementTypesAndDefaults) {
  const auto call = capnp::Schema::from<schema::HostCall>();
  EXPECT_EQ(call.getFieldByName("invocations").getProto().getSlot().getDefaultValue().getUint32(), 1u);
  EXPECT_EQ(call.getFieldByName("inputBatchEnds").getType().asList().getElementType().which(),
            Type::UINT32);
  EXPECT_EQ(call.getFieldByName("inputs").getType().asList().getStructElementType(),
            capnp::Schema::from<schema::HostSlice>());
  const auto step_kind = capnp::Schema::from<schema::ProfileStepKind>().getEnumerants();
  ASSERT_EQ(step_kind.size(), 4u);
  EXPECT_EQ(std::string(step_kind[2].getProto().getName().cStr()), "synchronization");
  const auto activity_kind = capnp::Schema::from<schema::ProfileExchangeActivityKind>().getEnumerants();
  ASSERT_EQ(activity_kind.size(), 2u);
  EXPECT_EQ(std::string(activity_kind[1].getProto().getName().cStr()), "receive");
  EXPECT_EQ(capnp::Schema::from<schema::Application>().getFieldByName("tiles").getType()
                .asList().getStructElementType(),
            capnp::Schema::from<schema::TileImage>());
}

}  // namespace
}  // namespace torv_package
