#include "package_writer.hpp"

#include <cstring>
#include <stdexcept>

#include <capnp/serialize.h>
#include <kj/io.h>

namespace torv_package::testing {
namespace {

capnp::Text::Reader text(const std::string& s) { return capnp::Text::Reader(s.data(), s.size()); }

template <class ListBuilder>
void write_u32s(ListBuilder list, const std::vector<std::uint32_t>& values) {
  for (unsigned i = 0; i < values.size(); ++i) list.set(i, values[i]);
}

void write_host_slices(capnp::List<schema::HostSlice>::Builder list,
                       const std::vector<HostSlice>& slices) {
  for (unsigned i = 0; i < slices.size(); ++i) {
    auto s = list[i];
    s.setPage(slices[i].page);
    s.setPageOffset(slices[i].page_offset);
    s.setFileOffset(slices[i].file_offset);
    s.setSize(slices[i].size);
  }
}

void write_bindings(capnp::List<schema::Binding>::Builder list, const std::vector<Binding>& bindings) {
  for (unsigned i = 0; i < bindings.size(); ++i) {
    const Binding& b = bindings[i];
    auto out = list[i];
    out.setName(text(b.name));
    out.setDtype(text(b.dtype));
    write_u32s(out.initShape(b.shape.size()), b.shape);
    auto slices = out.initSlices(b.slices.size());
    for (unsigned k = 0; k < b.slices.size(); ++k) {
      slices[k].setTile(b.slices[k].tile);
      slices[k].setTileAddress(b.slices[k].tile_address);
      slices[k].setFileOffset(b.slices[k].file_offset);
      slices[k].setSize(b.slices[k].size);
    }
  }
}

void write_host_exchange(schema::HostExchange::Builder out, const HostExchange& ex) {
  out.setStartupMark(ex.startup_mark);
  out.setCommandPage(ex.command_page);
  out.setCommandOffset(ex.command_offset);
  auto pages = out.initPages(ex.pages.size());
  for (unsigned i = 0; i < ex.pages.size(); ++i) {
    pages[i].setIndex(ex.pages[i].index);
    pages[i].setSize(ex.pages[i].size);
  }
  write_u32s(out.initAttachOrder(ex.attach_order.size()), ex.attach_order);
  auto calls = out.initCalls(ex.calls.size());
  for (unsigned i = 0; i < ex.calls.size(); ++i) {
    const HostCall& c = ex.calls[i];
    auto call = calls[i];
    call.setName(text(c.name));
    call.setCommand(c.command);
    call.setPhases(c.phases);
    write_host_slices(call.initInputs(c.inputs.size()), c.inputs);
    write_host_slices(call.initOutputs(c.outputs.size()), c.outputs);
    call.setInvocations(c.invocations);
    write_u32s(call.initInputBatchEnds(c.input_batch_ends.size()), c.input_batch_ends);
    write_u32s(call.initOutputBatchEnds(c.output_batch_ends.size()), c.output_batch_ends);
  }
}

void write_profile_tiles(capnp::List<schema::TileProfilePlan>::Builder list,
                         const std::vector<TileProfilePlan>& plans) {
  for (unsigned i = 0; i < plans.size(); ++i) {
    list[i].setPhysicalTile(plans[i].physical_tile);
    auto steps = list[i].initSteps(plans[i].steps.size());
    for (unsigned k = 0; k < plans[i].steps.size(); ++k) {
      const ProfileStep& s = plans[i].steps[k];
      auto step = steps[k];
      step.setLocalIndex(s.local_index);
      step.setPhase(s.phase);
      step.setEpoch(s.epoch);
      step.setOperation(text(s.operation));
      step.setKind(static_cast<schema::ProfileStepKind>(s.kind));
      step.setKernel(text(s.kernel));
      auto metadata = step.initMetadata(s.metadata.size());
      for (unsigned m = 0; m < s.metadata.size(); ++m) {
        metadata[m].setName(text(s.metadata[m].name));
        metadata[m].setValue(text(s.metadata[m].value));
      }
      auto activities = step.initExchangeActivities(s.exchange_activities.size());
      for (unsigned a = 0; a < s.exchange_activities.size(); ++a) {
        const auto& act = s.exchange_activities[a];
        activities[a].setKind(static_cast<schema::ProfileExchangeActivityKind>(act.kind));
        activities[a].setStartCycle(act.start_cycle);
        activities[a].setEndCycle(act.end_cycle);
      }
      step.setExchangeEventCycles(s.exchange_event_cycles);
    }
  }
}

}  // namespace

void write_application(const Application& app, schema::Application::Builder root,
                       const Header& header) {
  root.setSchemaVersion(header.schema_version);
  if (header.target) root.setTarget(text(*header.target));
  root.setTileMemoryBase(header.tile_memory_base);
  root.setTileMemorySize(header.tile_memory_size);
  root.setCompilerVersion(text(app.compiler_version));

  auto tiles = root.initTiles(app.tiles.size());
  for (unsigned i = 0; i < app.tiles.size(); ++i) {
    const TileImage& t = app.tiles[i];
    tiles[i].setPhysicalTile(t.physical_tile);
    tiles[i].setEntryPoint(t.entry_point);
    tiles[i].setCommandAddress(t.command_address);
    tiles[i].setDiagnosticAddress(t.diagnostic_address);
    auto segments = tiles[i].initSegments(t.segments.size());
    for (unsigned k = 0; k < t.segments.size(); ++k) {
      const Segment& s = t.segments[k];
      segments[k].setAddress(s.address);
      segments[k].setMemorySize(s.memory_size);
      segments[k].setData(capnp::Data::Reader(s.data.data(), s.data.size()));
      segments[k].setFlags(s.flags);
    }
  }
  write_bindings(root.initInputs(app.inputs.size()), app.inputs);
  write_bindings(root.initOutputs(app.outputs.size()), app.outputs);
  write_bindings(root.initWeights(app.weights.size()), app.weights);
  write_host_exchange(root.initHostExchange(), app.host_exchange);
  auto entries = root.initEntryPoints(app.entry_points.size());
  for (unsigned i = 0; i < app.entry_points.size(); ++i) {
    entries[i].setName(text(app.entry_points[i].name));
    entries[i].setCommand(app.entry_points[i].command);
    entries[i].setExternalSyncs(app.entry_points[i].external_syncs);
  }
  auto writes = root.initDeviceConfigWrites(app.device_config_writes.size());
  for (unsigned i = 0; i < app.device_config_writes.size(); ++i) {
    writes[i].setOffset(app.device_config_writes[i].offset);
    writes[i].setValue(app.device_config_writes[i].value);
  }
  write_profile_tiles(root.initProfileTiles(app.profile_tiles.size()), app.profile_tiles);
  auto symbols = root.initDebugSymbols(app.debug_symbols.size());
  for (unsigned i = 0; i < app.debug_symbols.size(); ++i) {
    symbols[i].setName(text(app.debug_symbols[i].name));
    symbols[i].setAddress(app.debug_symbols[i].address);
  }
  auto regions = root.initDebugRegions(app.debug_regions.size());
  for (unsigned i = 0; i < app.debug_regions.size(); ++i) {
    const DebugRegion& r = app.debug_regions[i];
    regions[i].setPhysicalTile(r.physical_tile);
    regions[i].setAddress(r.address);
    regions[i].setSize(r.size);
    regions[i].setName(text(r.name));
  }
}

std::string to_bytes(capnp::MessageBuilder& message) {
  const kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return std::string(reinterpret_cast<const char*>(bytes.begin()), bytes.size());
}

std::string serialize(const Application& app, const Header& header) {
  capnp::MallocMessageBuilder message;
  write_application(app, message.initRoot<schema::Application>(), header);
  return to_bytes(message);
}

Result<Application> read_bytes(std::string_view bytes) {
  return Application::read(kj::heap<kj::ArrayInputStream>(
      kj::ArrayPtr<const kj::byte>(reinterpret_cast<const kj::byte*>(bytes.data()), bytes.size())));
}

std::uint64_t MessageBytes::word(std::size_t index) const {
  if ((index + 1) * 8 > bytes_.size()) throw std::out_of_range("word beyond the message");
  std::uint64_t value;
  std::memcpy(&value, bytes_.data() + index * 8, 8);
  return value;
}

void MessageBytes::set_word(std::size_t index, std::uint64_t value, std::string_view what) {
  if ((index + 1) * 8 > bytes_.size()) {
    throw std::out_of_range("cannot edit " + std::string(what) + ": word beyond the message");
  }
  std::memcpy(bytes_.data() + index * 8, &value, 8);
}

std::size_t MessageBytes::segment0_start() const {
  const auto count = static_cast<std::uint32_t>(word(0)) + std::size_t{1};
  return (count + 2) / 2;
}

std::size_t MessageBytes::root_pointer(std::size_t slot) const {
  const std::size_t start = segment0_start();
  const std::uint64_t root = word(start);
  // A struct pointer: offset in bits 2..31 (signed), data words in 32..47.
  const auto offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(root)) >> 2;
  const std::size_t data_words = (root >> 32) & 0xffff;
  return start + 1 + static_cast<std::size_t>(offset) + data_words + slot;
}

}  // namespace torv_package::testing
