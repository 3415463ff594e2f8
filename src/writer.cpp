#include "writer.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <capnp/serialize.h>
#include <fmt/format.h>
#include <kj/exception.h>

#include "utf8.hpp"

namespace torv_package {
namespace {

template <class S>
constexpr std::uint64_t struct_words = S::_capnpPrivate::dataWordSize + S::_capnpPrivate::pointerCount;

constexpr std::uint64_t bytes_words(std::size_t bytes) { return (bytes + 7) / 8; }
std::uint64_t text_words(const std::string& text) { return text.empty() ? 0 : bytes_words(text.size() + 1); }
std::uint64_t u32s_words(const std::vector<std::uint32_t>& values) {
  return bytes_words(values.size() * 4);
}
// An inline-composite list: one tag word, then the elements.
template <class S, class T>
std::uint64_t list_words(const std::vector<T>& items) {
  return items.empty() ? 0 : 1 + items.size() * struct_words<S>;
}

// The longest list (and data or text, in bytes) a message can encode.
constexpr std::size_t max_elements = (std::size_t{1} << 29) - 1;

// Element count of a list about to be written; Cap'n Proto takes 32-bit counts, so a
// longer list must be refused here rather than truncated.
template <class T>
unsigned count(const T& items) {
  if (items.size() > max_elements) {
    kj::throwFatalException(kj::Exception(
        kj::Exception::Type::FAILED, __FILE__, __LINE__,
        kj::str("a list of ", items.size(), " elements is longer than a package can hold (",
                max_elements, ")")));
  }
  return static_cast<unsigned>(items.size());
}

capnp::Text::Reader text(const std::string& s) {
  count(s);
  return capnp::Text::Reader(s.data(), s.size());
}

template <class Init>
void write_u32s(const std::vector<std::uint32_t>& values, Init&& init) {
  if (values.empty()) return;
  auto list = init(count(values));
  for (unsigned i = 0; i < values.size(); ++i) list.set(i, values[i]);
}

template <class Init>
void write_host_slices(const std::vector<HostSlice>& slices, Init&& init) {
  if (slices.empty()) return;
  auto list = init(count(slices));
  for (unsigned i = 0; i < slices.size(); ++i) {
    list[i].setPage(slices[i].page);
    list[i].setPageOffset(slices[i].page_offset);
    list[i].setFileOffset(slices[i].file_offset);
    list[i].setSize(slices[i].size);
  }
}

template <class Init>
void write_bindings(const std::vector<Binding>& bindings, Init&& init) {
  if (bindings.empty()) return;
  auto list = init(count(bindings));
  for (unsigned i = 0; i < bindings.size(); ++i) {
    const Binding& b = bindings[i];
    auto out = list[i];
    if (!b.name.empty()) out.setName(text(b.name));
    if (!b.dtype.empty()) out.setDtype(text(b.dtype));
    write_u32s(b.shape, [&](unsigned n) { return out.initShape(n); });
    if (b.slices.empty()) continue;
    auto slices = out.initSlices(count(b.slices));
    for (unsigned k = 0; k < b.slices.size(); ++k) {
      slices[k].setTile(b.slices[k].tile);
      slices[k].setTileAddress(b.slices[k].tile_address);
      slices[k].setFileOffset(b.slices[k].file_offset);
      slices[k].setSize(b.slices[k].size);
    }
  }
}

void write_host_exchange(const HostExchange& ex, schema::HostExchange::Builder out) {
  out.setStartupMark(ex.startup_mark);
  out.setCommandPage(ex.command_page);
  out.setCommandOffset(ex.command_offset);
  if (!ex.pages.empty()) {
    auto pages = out.initPages(count(ex.pages));
    for (unsigned i = 0; i < ex.pages.size(); ++i) {
      pages[i].setIndex(ex.pages[i].index);
      pages[i].setSize(ex.pages[i].size);
    }
  }
  write_u32s(ex.attach_order, [&](unsigned n) { return out.initAttachOrder(n); });
  if (ex.calls.empty()) return;
  auto calls = out.initCalls(count(ex.calls));
  for (unsigned i = 0; i < ex.calls.size(); ++i) {
    const HostCall& c = ex.calls[i];
    auto call = calls[i];
    if (!c.name.empty()) call.setName(text(c.name));
    call.setCommand(c.command);
    call.setPhases(c.phases);
    write_host_slices(c.inputs, [&](unsigned n) { return call.initInputs(n); });
    write_host_slices(c.outputs, [&](unsigned n) { return call.initOutputs(n); });
    call.setInvocations(c.invocations);
    write_u32s(c.input_batch_ends, [&](unsigned n) { return call.initInputBatchEnds(n); });
    write_u32s(c.output_batch_ends, [&](unsigned n) { return call.initOutputBatchEnds(n); });
  }
}

void write_profile_step(const ProfileStep& s, schema::ProfileStepPlan::Builder step) {
  step.setLocalIndex(s.local_index);
  step.setPhase(s.phase);
  step.setEpoch(s.epoch);
  if (!s.operation.empty()) step.setOperation(text(s.operation));
  step.setKind(static_cast<schema::ProfileStepKind>(s.kind));
  if (!s.kernel.empty()) step.setKernel(text(s.kernel));
  if (!s.metadata.empty()) {
    auto metadata = step.initMetadata(count(s.metadata));
    for (unsigned m = 0; m < s.metadata.size(); ++m) {
      if (!s.metadata[m].name.empty()) metadata[m].setName(text(s.metadata[m].name));
      if (!s.metadata[m].value.empty()) metadata[m].setValue(text(s.metadata[m].value));
    }
  }
  if (!s.exchange_activities.empty()) {
    auto activities = step.initExchangeActivities(count(s.exchange_activities));
    for (unsigned a = 0; a < s.exchange_activities.size(); ++a) {
      const auto& act = s.exchange_activities[a];
      activities[a].setKind(static_cast<schema::ProfileExchangeActivityKind>(act.kind));
      activities[a].setStartCycle(act.start_cycle);
      activities[a].setEndCycle(act.end_cycle);
    }
  }
  step.setExchangeEventCycles(s.exchange_event_cycles);
}

// Texts that the reader would refuse, and enum values it would not know, found before
// anything is written, named as the reader would name them.
Result<void> check_encodable(const Application& app) {
  const auto text_at = [](const std::string& value, auto&& location) -> Result<void> {
    if (auto error = check_utf8(value)) return std::unexpected(PackageError(*error).at(location()));
    return {};
  };
#define TORV_CHECK_TEXT(value, ...)                                              \
  if (auto ok = text_at(value, [&] { return fmt::format(__VA_ARGS__); }); !ok) return ok

  TORV_CHECK_TEXT(app.compiler_version, "compiler_version");
  const std::pair<const char*, const std::vector<Binding>*> lists[] = {
      {"inputs", &app.inputs}, {"outputs", &app.outputs}, {"weights", &app.weights}};
  for (const auto& [field, bindings] : lists) {
    for (std::size_t i = 0; i < bindings->size(); ++i) {
      TORV_CHECK_TEXT((*bindings)[i].name, "{}[{}].name", field, i);
      TORV_CHECK_TEXT((*bindings)[i].dtype, "{}[{}].dtype", field, i);
    }
  }
  for (std::size_t i = 0; i < app.host_exchange.calls.size(); ++i) {
    TORV_CHECK_TEXT(app.host_exchange.calls[i].name, "host_exchange.calls[{}].name", i);
  }
  for (std::size_t i = 0; i < app.entry_points.size(); ++i) {
    TORV_CHECK_TEXT(app.entry_points[i].name, "entry_points[{}].name", i);
  }
  for (std::size_t p = 0; p < app.profile_tiles.size(); ++p) {
    const auto& steps = app.profile_tiles[p].steps;
    for (std::size_t s = 0; s < steps.size(); ++s) {
      const ProfileStep& step = steps[s];
      const auto enum_at = [&](std::uint16_t raw, std::uint16_t enumerants, auto&& location) -> Result<void> {
        if (raw >= enumerants) return std::unexpected(PackageError(NotInSchema{raw}).at(location()));
        return {};
      };
      TORV_CHECK_TEXT(step.operation, "profile_tiles[{}].steps[{}].operation", p, s);
      if (auto ok = enum_at(static_cast<std::uint16_t>(step.kind), 4,
                            [&] { return fmt::format("profile_tiles[{}].steps[{}].kind", p, s); });
          !ok) {
        return ok;
      }
      TORV_CHECK_TEXT(step.kernel, "profile_tiles[{}].steps[{}].kernel", p, s);
      for (std::size_t m = 0; m < step.metadata.size(); ++m) {
        TORV_CHECK_TEXT(step.metadata[m].name, "profile_tiles[{}].steps[{}].metadata[{}].name", p, s, m);
        TORV_CHECK_TEXT(step.metadata[m].value, "profile_tiles[{}].steps[{}].metadata[{}].value", p, s, m);
      }
      for (std::size_t a = 0; a < step.exchange_activities.size(); ++a) {
        if (auto ok = enum_at(static_cast<std::uint16_t>(step.exchange_activities[a].kind), 2, [&] {
              return fmt::format("profile_tiles[{}].steps[{}].exchange_activities[{}].kind", p, s, a);
            });
            !ok) {
          return ok;
        }
      }
    }
  }
  for (std::size_t i = 0; i < app.debug_symbols.size(); ++i) {
    TORV_CHECK_TEXT(app.debug_symbols[i].name, "debug_symbols[{}].name", i);
  }
  for (std::size_t i = 0; i < app.debug_regions.size(); ++i) {
    TORV_CHECK_TEXT(app.debug_regions[i].name, "debug_regions[{}].name", i);
  }
#undef TORV_CHECK_TEXT
  return {};
}

}  // namespace

std::uint64_t message_words(const Application& app) noexcept {
  std::uint64_t words = 1 + struct_words<schema::Application> + text_words(app.compiler_version) +
                        bytes_words(supported_target.size() + 1);
  words += list_words<schema::TileImage>(app.tiles);
  for (const auto& tile : app.tiles) {
    words += list_words<schema::Segment>(tile.segments);
    for (const auto& segment : tile.segments) words += bytes_words(segment.data.size());
  }
  for (const auto* bindings : {&app.inputs, &app.outputs, &app.weights}) {
    words += list_words<schema::Binding>(*bindings);
    for (const auto& b : *bindings) {
      words += text_words(b.name) + text_words(b.dtype) + u32s_words(b.shape) +
               list_words<schema::RegionSlice>(b.slices);
    }
  }
  const auto& ex = app.host_exchange;
  words += struct_words<schema::HostExchange> + list_words<schema::HostPage>(ex.pages) + u32s_words(ex.attach_order) +
           list_words<schema::HostCall>(ex.calls);
  for (const auto& c : ex.calls) {
    words += text_words(c.name) + list_words<schema::HostSlice>(c.inputs) + list_words<schema::HostSlice>(c.outputs) +
             u32s_words(c.input_batch_ends) + u32s_words(c.output_batch_ends);
  }
  words += list_words<schema::EntryPoint>(app.entry_points);
  for (const auto& e : app.entry_points) words += text_words(e.name);
  words += list_words<schema::DeviceConfigWrite>(app.device_config_writes);
  words += list_words<schema::TileProfilePlan>(app.profile_tiles);
  for (const auto& plan : app.profile_tiles) {
    words += list_words<schema::ProfileStepPlan>(plan.steps);
    for (const auto& s : plan.steps) {
      words += text_words(s.operation) + text_words(s.kernel) +
               list_words<schema::ProfileMetadata>(s.metadata) +
               list_words<schema::ProfileExchangeActivity>(s.exchange_activities);
      for (const auto& m : s.metadata) words += text_words(m.name) + text_words(m.value);
    }
  }
  words += list_words<schema::DebugSymbol>(app.debug_symbols);
  for (const auto& s : app.debug_symbols) words += text_words(s.name);
  words += list_words<schema::DebugRegion>(app.debug_regions);
  for (const auto& r : app.debug_regions) words += text_words(r.name);
  return words;
}

void write_header(schema::Application::Builder root) {
  root.setSchemaVersion(supported_schema_version);
  root.setTarget(capnp::Text::Reader(supported_target.data(), supported_target.size()));
  root.setTileMemoryBase(tile_memory_base);
  root.setTileMemorySize(tile_memory_size);
}

void write_model(const Application& app, schema::Application::Builder root,
                 std::vector<DataHole>* holes) {
  if (!app.compiler_version.empty()) root.setCompilerVersion(text(app.compiler_version));
  if (!app.tiles.empty()) {
    auto tiles = root.initTiles(count(app.tiles));
    for (unsigned i = 0; i < app.tiles.size(); ++i) {
      const TileImage& t = app.tiles[i];
      tiles[i].setPhysicalTile(t.physical_tile);
      tiles[i].setEntryPoint(t.entry_point);
      tiles[i].setCommandAddress(t.command_address);
      tiles[i].setDiagnosticAddress(t.diagnostic_address);
      if (t.segments.empty()) continue;
      auto segments = tiles[i].initSegments(count(t.segments));
      for (unsigned k = 0; k < t.segments.size(); ++k) {
        const Segment& s = t.segments[k];
        segments[k].setAddress(s.address);
        segments[k].setMemorySize(s.memory_size);
        if (!s.data.empty() && holes != nullptr) {
          const auto room = segments[k].initData(count(s.data));
          holes->push_back(DataHole{room.begin(), {s.data.data(), s.data.size()}});
        } else if (!s.data.empty()) {
          segments[k].setData(capnp::Data::Reader(s.data.data(), count(s.data)));
        }
        segments[k].setFlags(s.flags);
      }
    }
  }
  write_bindings(app.inputs, [&](unsigned n) { return root.initInputs(n); });
  write_bindings(app.outputs, [&](unsigned n) { return root.initOutputs(n); });
  write_bindings(app.weights, [&](unsigned n) { return root.initWeights(n); });
  write_host_exchange(app.host_exchange, root.initHostExchange());
  if (!app.entry_points.empty()) {
    auto entries = root.initEntryPoints(count(app.entry_points));
    for (unsigned i = 0; i < app.entry_points.size(); ++i) {
      if (!app.entry_points[i].name.empty()) entries[i].setName(text(app.entry_points[i].name));
      entries[i].setCommand(app.entry_points[i].command);
      entries[i].setExternalSyncs(app.entry_points[i].external_syncs);
    }
  }
  if (!app.device_config_writes.empty()) {
    auto writes = root.initDeviceConfigWrites(count(app.device_config_writes));
    for (unsigned i = 0; i < app.device_config_writes.size(); ++i) {
      writes[i].setOffset(app.device_config_writes[i].offset);
      writes[i].setValue(app.device_config_writes[i].value);
    }
  }
  if (!app.profile_tiles.empty()) {
    auto plans = root.initProfileTiles(count(app.profile_tiles));
    for (unsigned i = 0; i < app.profile_tiles.size(); ++i) {
      plans[i].setPhysicalTile(app.profile_tiles[i].physical_tile);
      const auto& steps = app.profile_tiles[i].steps;
      if (steps.empty()) continue;
      auto out = plans[i].initSteps(count(steps));
      for (unsigned k = 0; k < steps.size(); ++k) write_profile_step(steps[k], out[k]);
    }
  }
  if (!app.debug_symbols.empty()) {
    auto symbols = root.initDebugSymbols(count(app.debug_symbols));
    for (unsigned i = 0; i < app.debug_symbols.size(); ++i) {
      if (!app.debug_symbols[i].name.empty()) symbols[i].setName(text(app.debug_symbols[i].name));
      symbols[i].setAddress(app.debug_symbols[i].address);
    }
  }
  if (!app.debug_regions.empty()) {
    auto regions = root.initDebugRegions(count(app.debug_regions));
    for (unsigned i = 0; i < app.debug_regions.size(); ++i) {
      const DebugRegion& r = app.debug_regions[i];
      regions[i].setPhysicalTile(r.physical_tile);
      regions[i].setAddress(r.address);
      regions[i].setSize(r.size);
      if (!r.name.empty()) regions[i].setName(text(r.name));
    }
  }
}

kj::ArrayPtr<capnp::word> OneSegmentBuilder::allocateSegment(unsigned minimum_words) {
  if (!first_used && minimum_words <= first.size()) {
    first_used = true;
    return {first.data(), first.size()};
  }
  more.emplace_back(std::max<std::size_t>(minimum_words, 1024), WordBuffer::Zeroed::yes);
  return {more.back().data(), more.back().size()};
}

void BuiltMessage::write_to(kj::OutputStream& output) {
  const auto segments = builder->getSegmentsForOutput();
  if (segments.size() != 1) {
    // The size given in advance fell short: copy the data in and write plainly.
    for (const DataHole& hole : holes) {
      std::memcpy(const_cast<kj::byte*>(hole.at), hole.bytes.begin(), hole.bytes.size());
    }
    capnp::writeMessage(output, segments);
    return;
  }
  const auto segment = segments[0].asBytes();
  const std::uint32_t table[2] = {0, static_cast<std::uint32_t>(segments[0].size())};
  std::vector<kj::ArrayPtr<const kj::byte>> pieces;
  pieces.reserve(2 * holes.size() + 2);
  pieces.push_back(kj::arrayPtr(reinterpret_cast<const kj::byte*>(table), sizeof(table)));
  const kj::byte* cursor = segment.begin();
  // Holes were made in order of address; after each, its padding to a word stays zero.
  for (const DataHole& hole : holes) {
    pieces.push_back(kj::arrayPtr(cursor, hole.at));
    pieces.push_back(hole.bytes);
    cursor = hole.at + hole.bytes.size();
  }
  pieces.push_back(kj::arrayPtr(cursor, segment.end()));
  output.write(kj::arrayPtr(pieces.data(), pieces.size()));
}

Result<BuiltMessage> build_message(const Application& app) {
  if (auto valid = app.validate(); !valid) return std::unexpected(std::move(valid).error());
  if (auto encodable = check_encodable(app); !encodable) {
    return std::unexpected(std::move(encodable).error());
  }
  try {
    // One zeroed segment for the whole message, so padding stays zero. The room for
    // segment data is never touched: its pages are never even faulted in.
    BuiltMessage message{std::make_unique<OneSegmentBuilder>(std::min<std::uint64_t>(
                             message_words(app), std::numeric_limits<unsigned>::max())),
                         {}};
    auto root = message.builder->initRoot<schema::Application>();
    write_header(root);
    write_model(app, root, &message.holes);
    return message;
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                                      kj::heapString("not enough memory to write the package"))));
  }
}

Result<void> Application::write(kj::OutputStream& output) const {
  auto message = build_message(*this);
  if (!message) return std::unexpected(std::move(message).error());
  try {
    message->write_to(output);
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)));
  }
  return {};
}

}  // namespace torv_package
