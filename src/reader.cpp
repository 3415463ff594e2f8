#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <capnp/serialize.h>

#include "application.capnp.h"
#include "framing.hpp"
#include "torv_package/application.hpp"
#include "torv_package/events.hpp"
#include "utf8.hpp"

namespace torv_package {
namespace {

// Propagates the error of a Result-returning expression, else binds its value.
#define TORV_TRY(var, expr)                                        \
  auto var##_result = (expr);                                      \
  if (!var##_result) return std::unexpected(std::move(var##_result).error()); \
  auto var = std::move(*var##_result)

// A reader visits each word of a well-formed message about once; anything far beyond
// that comes from lists of zero-sized elements that claim counts no bytes back.
constexpr std::uint64_t traversal_words_per_message_word = 2;
constexpr std::uint64_t traversal_slack_words = 1024;

Result<std::string_view> checked_text(capnp::Text::Reader text) {
  const std::string_view view(text.cStr(), text.size());
  if (auto error = check_utf8(view)) return std::unexpected(PackageError(*error));
  return view;
}

Result<std::string> read_text(capnp::Text::Reader text) {
  TORV_TRY(view, checked_text(text));
  return std::string(view);
}

std::vector<std::uint32_t> read_u32_list(capnp::List<std::uint32_t>::Reader list) {
  std::vector<std::uint32_t> values;
  values.reserve(list.size());
  for (const std::uint32_t value : list) values.push_back(value);
  return values;
}

template <class Model, class SchemaEnum>
Result<Model> read_enum(SchemaEnum stored, std::uint16_t enumerant_count) {
  const auto raw = static_cast<std::uint16_t>(stored);
  if (raw >= enumerant_count) return std::unexpected(PackageError(NotInSchema{raw}));
  return static_cast<Model>(raw);
}

Result<std::vector<Segment>> read_segments(capnp::List<schema::Segment>::Reader list) {
  std::vector<Segment> segments;
  segments.reserve(list.size());
  for (const auto segment : list) {
    const std::uint32_t address = segment.getAddress();
    const std::uint32_t memory_size = segment.getMemorySize();
    const capnp::Data::Reader data = segment.getData();
    segments.push_back(Segment{address, memory_size,
                               std::vector<std::uint8_t>(data.begin(), data.end()),
                               segment.getFlags()});
  }
  return segments;
}

Result<std::vector<TileImage>> read_tiles(capnp::List<schema::TileImage>::Reader list) {
  std::vector<TileImage> tiles;
  tiles.reserve(list.size());
  for (const auto tile : list) {
    TileImage image{tile.getPhysicalTile(), tile.getEntryPoint(), tile.getCommandAddress(),
                    tile.getDiagnosticAddress(), {}};
    TORV_TRY(segments, read_segments(tile.getSegments()));
    image.segments = std::move(segments);
    tiles.push_back(std::move(image));
  }
  return tiles;
}

std::vector<RegionSlice> read_region_slices(capnp::List<schema::RegionSlice>::Reader list) {
  std::vector<RegionSlice> slices;
  slices.reserve(list.size());
  for (const auto slice : list) {
    slices.push_back(RegionSlice{slice.getTile(), slice.getTileAddress(), slice.getFileOffset(),
                                 slice.getSize()});
  }
  return slices;
}

Result<std::vector<Binding>> read_bindings(capnp::List<schema::Binding>::Reader list) {
  std::vector<Binding> bindings;
  bindings.reserve(list.size());
  for (const auto binding : list) {
    TORV_TRY(name, read_text(binding.getName()));
    TORV_TRY(dtype, read_text(binding.getDtype()));
    std::vector<std::uint32_t> shape = read_u32_list(binding.getShape());
    bindings.push_back(Binding{std::move(name), std::move(dtype), std::move(shape),
                               read_region_slices(binding.getSlices())});
  }
  return bindings;
}

std::vector<HostSlice> read_host_slices(capnp::List<schema::HostSlice>::Reader list) {
  std::vector<HostSlice> slices;
  slices.reserve(list.size());
  for (const auto slice : list) {
    slices.push_back(
        HostSlice{slice.getPage(), slice.getPageOffset(), slice.getFileOffset(), slice.getSize()});
  }
  return slices;
}

Result<HostCall> read_host_call(schema::HostCall::Reader call) {
  TORV_TRY(name, read_text(call.getName()));
  HostCall model{std::move(name), call.getCommand(), call.getPhases(), {}, {},
                 call.getInvocations(), {}, {}};
  model.inputs = read_host_slices(call.getInputs());
  model.outputs = read_host_slices(call.getOutputs());
  model.input_batch_ends = read_u32_list(call.getInputBatchEnds());
  model.output_batch_ends = read_u32_list(call.getOutputBatchEnds());
  return model;
}

Result<HostExchange> read_host_exchange(schema::HostExchange::Reader exchange) {
  HostExchange model;
  model.startup_mark = exchange.getStartupMark();
  model.command_page = exchange.getCommandPage();
  model.command_offset = exchange.getCommandOffset();
  const auto pages = exchange.getPages();
  model.pages.reserve(pages.size());
  for (const auto page : pages) model.pages.push_back(HostPage{page.getIndex(), page.getSize()});
  model.attach_order = read_u32_list(exchange.getAttachOrder());
  const auto calls = exchange.getCalls();
  model.calls.reserve(calls.size());
  for (const auto call : calls) {
    TORV_TRY(converted, read_host_call(call));
    model.calls.push_back(std::move(converted));
  }
  return model;
}

Result<ProfileStep> read_profile_step(schema::ProfileStepPlan::Reader step) {
  const std::uint32_t local_index = step.getLocalIndex();
  const std::uint32_t phase = step.getPhase();
  const std::uint32_t epoch = step.getEpoch();
  TORV_TRY(operation, read_text(step.getOperation()));
  TORV_TRY(kind, (read_enum<ProfileStepKind>(step.getKind(), 4)));
  TORV_TRY(kernel, read_text(step.getKernel()));
  ProfileStep model{local_index, phase, epoch, std::move(operation), kind, std::move(kernel),
                    {}, {}, 0};
  const auto metadata = step.getMetadata();
  model.metadata.reserve(metadata.size());
  for (const auto entry : metadata) {
    TORV_TRY(name, read_text(entry.getName()));
    TORV_TRY(value, read_text(entry.getValue()));
    model.metadata.push_back(ProfileMetadata{std::move(name), std::move(value)});
  }
  const auto activities = step.getExchangeActivities();
  model.exchange_activities.reserve(activities.size());
  for (const auto activity : activities) {
    TORV_TRY(activity_kind, (read_enum<ProfileExchangeActivityKind>(activity.getKind(), 2)));
    model.exchange_activities.push_back(
        ProfileExchangeActivity{activity_kind, activity.getStartCycle(), activity.getEndCycle()});
  }
  model.exchange_event_cycles = step.getExchangeEventCycles();
  return model;
}

Result<std::vector<TileProfilePlan>> read_profile_tiles(
    capnp::List<schema::TileProfilePlan>::Reader list) {
  std::vector<TileProfilePlan> plans;
  plans.reserve(list.size());
  for (const auto plan : list) {
    TileProfilePlan model{plan.getPhysicalTile(), {}};
    const auto steps = plan.getSteps();
    model.steps.reserve(steps.size());
    for (const auto step : steps) {
      TORV_TRY(converted, read_profile_step(step));
      model.steps.push_back(std::move(converted));
    }
    plans.push_back(std::move(model));
  }
  return plans;
}

Result<void> check_header(schema::Application::Reader root) {
  const auto incompatible = [] {
    return std::unexpected(PackageError::invalid("incompatible package header"));
  };
  if (root.getSchemaVersion() != supported_schema_version) return incompatible();
  TORV_TRY(target, checked_text(root.getTarget()));
  if (target != supported_target) return incompatible();
  if (root.getTileMemoryBase() != tile_memory_base) return incompatible();
  if (root.getTileMemorySize() != tile_memory_size) return incompatible();
  return {};
}

Result<Application> convert(schema::Application::Reader root) {
  if (auto header = check_header(root); !header) return std::unexpected(std::move(header).error());

  TORV_TRY(compiler_version, read_text(root.getCompilerVersion()));
  Application app;
  app.compiler_version = std::move(compiler_version);
  TORV_TRY(tiles, read_tiles(root.getTiles()));
  app.tiles = std::move(tiles);
  TORV_TRY(inputs, read_bindings(root.getInputs()));
  app.inputs = std::move(inputs);
  TORV_TRY(outputs, read_bindings(root.getOutputs()));
  app.outputs = std::move(outputs);
  TORV_TRY(weights, read_bindings(root.getWeights()));
  app.weights = std::move(weights);
  TORV_TRY(host_exchange, read_host_exchange(root.getHostExchange()));
  app.host_exchange = std::move(host_exchange);

  const auto entry_points = root.getEntryPoints();
  app.entry_points.reserve(entry_points.size());
  for (const auto entry : entry_points) {
    TORV_TRY(name, read_text(entry.getName()));
    app.entry_points.push_back(
        EntryPoint{std::move(name), entry.getCommand(), entry.getExternalSyncs()});
  }

  const auto writes = root.getDeviceConfigWrites();
  app.device_config_writes.reserve(writes.size());
  for (const auto write : writes) {
    app.device_config_writes.push_back(DeviceConfigWrite{write.getOffset(), write.getValue()});
  }

  TORV_TRY(profile_tiles, read_profile_tiles(root.getProfileTiles()));
  app.profile_tiles = std::move(profile_tiles);

  const auto symbols = root.getDebugSymbols();
  app.debug_symbols.reserve(symbols.size());
  for (const auto symbol : symbols) {
    TORV_TRY(name, read_text(symbol.getName()));
    app.debug_symbols.push_back(DebugSymbol{std::move(name), symbol.getAddress()});
  }

  const auto regions = root.getDebugRegions();
  app.debug_regions.reserve(regions.size());
  for (const auto region : regions) {
    const std::uint32_t physical_tile = region.getPhysicalTile();
    const std::uint32_t address = region.getAddress();
    const std::uint32_t size = region.getSize();
    TORV_TRY(name, read_text(region.getName()));
    app.debug_regions.push_back(DebugRegion{physical_tile, address, size, std::move(name)});
  }
  return app;
}

// Everything between framing and the finished, validated model. May throw kj::Exception.
Result<Application> read_message(kj::InputStream& input) {
  const WordBuffer buffer = read_framed_message(input);

  capnp::ReaderOptions options = capnp_reader_options();
  const std::uint64_t cap = traversal_words_per_message_word * buffer.size() + traversal_slack_words;
  options.traversalLimitInWords = std::min(options.traversalLimitInWords, cap);
  capnp::FlatArrayMessageReader message(buffer.words(), options);

  TORV_TRY(app, convert(message.getRoot<schema::Application>()));
  if (auto valid = app.validate(); !valid) return std::unexpected(std::move(valid).error());
  TORV_EVENT(events::Level::Info, "application package read",
             events::Field{"tiles", std::uint64_t{app.tiles.size()}},
             events::Field{"compiler", app.compiler_version});
  return app;
}

// The one boundary where exceptions from Cap'n Proto become errors.
Result<Application> read_message_caught(kj::InputStream& input) {
  try {
    return read_message(input);
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)));
  }
}

#undef TORV_TRY

}  // namespace

capnp::ReaderOptions capnp_reader_options() {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = std::numeric_limits<std::uint64_t>::max();
  return options;
}

Result<Application> Application::read(kj::Own<kj::InputStream> input) {
  TORV_EVENT(events::Level::Info, "reading application package");
  Result<Application> result = read_message_caught(*input);
  // Released here so that a file is closed before the caller sees the result; a failure
  // to close is reported only when nothing failed before it.
  try {
    input = nullptr;
  } catch (kj::Exception& exception) {
    if (result) result = std::unexpected(PackageError(kj::mv(exception)));
  }
  return result;
}

}  // namespace torv_package
