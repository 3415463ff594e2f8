#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <capnp/serialize.h>

#include "application.capnp.h"
#include "budget.hpp"
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

// Cap'n Proto charges one word per element of a list of zero-sized elements. Every such
// element becomes a record of at least 8 bytes charged to the memory budget, so a limit
// of the library's default plus four words per message word admits every package whose
// model fits the budget, while a list claiming hundreds of millions of empty elements in
// a small message still fails at once.
constexpr std::uint64_t traversal_floor_words = std::uint64_t{8} << 20;
constexpr std::uint64_t traversal_words_per_message_word = 4;

// Converts one message into the model, charging every allocation to the memory budget
// before it is made. Cap'n Proto accessors and the budget throw kj::Exception.
class Converter {
 public:
  explicit Converter(std::uint64_t message_bytes) : budget_(message_bytes) {}

  Result<Application> convert(schema::Application::Reader root);

 private:
  Result<std::string_view> checked_text(capnp::Text::Reader text) {
    const std::string_view view(text.cStr(), text.size());
    if (auto error = check_utf8(view)) return std::unexpected(PackageError(*error));
    return view;
  }

  Result<std::string> read_text(capnp::Text::Reader text) {
    TORV_TRY(view, checked_text(text));
    budget_.text(view.size());
    return std::string(view);
  }

  // Reserves room for `list` in `out`, after charging it.
  template <class T, class List>
  void reserve(std::vector<T>& out, const List& list) {
    budget_.list<T>(list.size());
    out.reserve(list.size());
  }

  std::vector<std::uint32_t> read_u32_list(capnp::List<std::uint32_t>::Reader list) {
    std::vector<std::uint32_t> values;
    reserve(values, list);
    for (const std::uint32_t value : list) values.push_back(value);
    return values;
  }

  template <class Model, class SchemaEnum>
  static Result<Model> read_enum(SchemaEnum stored, std::uint16_t enumerant_count) {
    const auto raw = static_cast<std::uint16_t>(stored);
    if (raw >= enumerant_count) return std::unexpected(PackageError(NotInSchema{raw}));
    return static_cast<Model>(raw);
  }

  std::vector<Segment> read_segments(capnp::List<schema::Segment>::Reader list);
  Result<std::vector<TileImage>> read_tiles(capnp::List<schema::TileImage>::Reader list);
  std::vector<RegionSlice> read_region_slices(capnp::List<schema::RegionSlice>::Reader list);
  Result<std::vector<Binding>> read_bindings(capnp::List<schema::Binding>::Reader list);
  std::vector<HostSlice> read_host_slices(capnp::List<schema::HostSlice>::Reader list);
  Result<HostCall> read_host_call(schema::HostCall::Reader call);
  Result<HostExchange> read_host_exchange(schema::HostExchange::Reader exchange);
  Result<ProfileStep> read_profile_step(schema::ProfileStepPlan::Reader step);
  Result<std::vector<TileProfilePlan>> read_profile_tiles(
      capnp::List<schema::TileProfilePlan>::Reader list);
  Result<void> check_header(schema::Application::Reader root);

  MemoryBudget budget_;
};

std::vector<Segment> Converter::read_segments(capnp::List<schema::Segment>::Reader list) {
  std::vector<Segment> segments;
  reserve(segments, list);
  for (const auto segment : list) {
    const std::uint32_t address = segment.getAddress();
    const std::uint32_t memory_size = segment.getMemorySize();
    const capnp::Data::Reader data = segment.getData();
    budget_.data(data.size());
    segments.push_back(Segment{address, memory_size,
                               std::vector<std::uint8_t>(data.begin(), data.end()),
                               segment.getFlags()});
  }
  return segments;
}

Result<std::vector<TileImage>> Converter::read_tiles(capnp::List<schema::TileImage>::Reader list) {
  std::vector<TileImage> tiles;
  reserve(tiles, list);
  for (const auto tile : list) {
    TileImage image{tile.getPhysicalTile(), tile.getEntryPoint(), tile.getCommandAddress(),
                    tile.getDiagnosticAddress(), {}};
    image.segments = read_segments(tile.getSegments());
    tiles.push_back(std::move(image));
  }
  return tiles;
}

std::vector<RegionSlice> Converter::read_region_slices(
    capnp::List<schema::RegionSlice>::Reader list) {
  std::vector<RegionSlice> slices;
  reserve(slices, list);
  for (const auto slice : list) {
    slices.push_back(RegionSlice{slice.getTile(), slice.getTileAddress(), slice.getFileOffset(),
                                 slice.getSize()});
  }
  return slices;
}

Result<std::vector<Binding>> Converter::read_bindings(capnp::List<schema::Binding>::Reader list) {
  std::vector<Binding> bindings;
  reserve(bindings, list);
  for (const auto binding : list) {
    TORV_TRY(name, read_text(binding.getName()));
    TORV_TRY(dtype, read_text(binding.getDtype()));
    std::vector<std::uint32_t> shape = read_u32_list(binding.getShape());
    bindings.push_back(Binding{std::move(name), std::move(dtype), std::move(shape),
                               read_region_slices(binding.getSlices())});
  }
  return bindings;
}

std::vector<HostSlice> Converter::read_host_slices(capnp::List<schema::HostSlice>::Reader list) {
  std::vector<HostSlice> slices;
  reserve(slices, list);
  for (const auto slice : list) {
    slices.push_back(
        HostSlice{slice.getPage(), slice.getPageOffset(), slice.getFileOffset(), slice.getSize()});
  }
  return slices;
}

Result<HostCall> Converter::read_host_call(schema::HostCall::Reader call) {
  TORV_TRY(name, read_text(call.getName()));
  HostCall model{std::move(name), call.getCommand(), call.getPhases(), {}, {},
                 call.getInvocations(), {}, {}};
  model.inputs = read_host_slices(call.getInputs());
  model.outputs = read_host_slices(call.getOutputs());
  model.input_batch_ends = read_u32_list(call.getInputBatchEnds());
  model.output_batch_ends = read_u32_list(call.getOutputBatchEnds());
  return model;
}

Result<HostExchange> Converter::read_host_exchange(schema::HostExchange::Reader exchange) {
  HostExchange model;
  model.startup_mark = exchange.getStartupMark();
  model.command_page = exchange.getCommandPage();
  model.command_offset = exchange.getCommandOffset();
  const auto pages = exchange.getPages();
  reserve(model.pages, pages);
  for (const auto page : pages) model.pages.push_back(HostPage{page.getIndex(), page.getSize()});
  model.attach_order = read_u32_list(exchange.getAttachOrder());
  const auto calls = exchange.getCalls();
  reserve(model.calls, calls);
  for (const auto call : calls) {
    TORV_TRY(converted, read_host_call(call));
    model.calls.push_back(std::move(converted));
  }
  return model;
}

Result<ProfileStep> Converter::read_profile_step(schema::ProfileStepPlan::Reader step) {
  const std::uint32_t local_index = step.getLocalIndex();
  const std::uint32_t phase = step.getPhase();
  const std::uint32_t epoch = step.getEpoch();
  TORV_TRY(operation, read_text(step.getOperation()));
  TORV_TRY(kind, (read_enum<ProfileStepKind>(step.getKind(), 4)));
  TORV_TRY(kernel, read_text(step.getKernel()));
  ProfileStep model{local_index, phase, epoch, std::move(operation), kind, std::move(kernel),
                    {}, {}, 0};
  const auto metadata = step.getMetadata();
  reserve(model.metadata, metadata);
  for (const auto entry : metadata) {
    TORV_TRY(name, read_text(entry.getName()));
    TORV_TRY(value, read_text(entry.getValue()));
    model.metadata.push_back(ProfileMetadata{std::move(name), std::move(value)});
  }
  const auto activities = step.getExchangeActivities();
  reserve(model.exchange_activities, activities);
  for (const auto activity : activities) {
    TORV_TRY(activity_kind, (read_enum<ProfileExchangeActivityKind>(activity.getKind(), 2)));
    model.exchange_activities.push_back(
        ProfileExchangeActivity{activity_kind, activity.getStartCycle(), activity.getEndCycle()});
  }
  model.exchange_event_cycles = step.getExchangeEventCycles();
  return model;
}

Result<std::vector<TileProfilePlan>> Converter::read_profile_tiles(
    capnp::List<schema::TileProfilePlan>::Reader list) {
  std::vector<TileProfilePlan> plans;
  reserve(plans, list);
  for (const auto plan : list) {
    TileProfilePlan model{plan.getPhysicalTile(), {}};
    const auto steps = plan.getSteps();
    reserve(model.steps, steps);
    for (const auto step : steps) {
      TORV_TRY(converted, read_profile_step(step));
      model.steps.push_back(std::move(converted));
    }
    plans.push_back(std::move(model));
  }
  return plans;
}

Result<void> Converter::check_header(schema::Application::Reader root) {
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

Result<Application> Converter::convert(schema::Application::Reader root) {
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
  reserve(app.entry_points, entry_points);
  for (const auto entry : entry_points) {
    TORV_TRY(name, read_text(entry.getName()));
    app.entry_points.push_back(
        EntryPoint{std::move(name), entry.getCommand(), entry.getExternalSyncs()});
  }

  const auto writes = root.getDeviceConfigWrites();
  reserve(app.device_config_writes, writes);
  for (const auto write : writes) {
    app.device_config_writes.push_back(DeviceConfigWrite{write.getOffset(), write.getValue()});
  }

  TORV_TRY(profile_tiles, read_profile_tiles(root.getProfileTiles()));
  app.profile_tiles = std::move(profile_tiles);

  const auto symbols = root.getDebugSymbols();
  reserve(app.debug_symbols, symbols);
  for (const auto symbol : symbols) {
    TORV_TRY(name, read_text(symbol.getName()));
    app.debug_symbols.push_back(DebugSymbol{std::move(name), symbol.getAddress()});
  }

  const auto regions = root.getDebugRegions();
  reserve(app.debug_regions, regions);
  for (const auto region : regions) {
    const std::uint32_t physical_tile = region.getPhysicalTile();
    const std::uint32_t address = region.getAddress();
    const std::uint32_t size = region.getSize();
    TORV_TRY(name, read_text(region.getName()));
    app.debug_regions.push_back(DebugRegion{physical_tile, address, size, std::move(name)});
  }
  return app;
}

// Framing and conversion; the message is released before the model is validated, so the
// two are never held together with the validator's working sets. May throw.
Result<Application> read_model(kj::InputStream& input) {
  const WordBuffer buffer = read_framed_message(input);
  const std::uint64_t message_words = buffer.size();

  capnp::ReaderOptions options = capnp_reader_options();
  options.traversalLimitInWords = std::min(
      options.traversalLimitInWords,
      traversal_floor_words + traversal_words_per_message_word * message_words);
  capnp::FlatArrayMessageReader message(buffer.words(), options);
  Converter converter(message_words * sizeof(capnp::word));
  return converter.convert(message.getRoot<schema::Application>());
}

PackageError out_of_memory() {
  return PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                    kj::heapString("not enough memory to read the package")));
}

// The one boundary where exceptions become errors: Cap'n Proto's and the budget's, and a
// failed allocation, which must not end the caller's process.
Result<Application> read_caught(kj::InputStream& input) {
  try {
    TORV_TRY(app, read_model(input));
    if (auto valid = app.validate(); !valid) return std::unexpected(std::move(valid).error());
    TORV_EVENT(events::Level::Info, "application package read",
               events::Field{"tiles", std::uint64_t{app.tiles.size()}},
               events::Field{"compiler", app.compiler_version});
    return app;
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  } catch (const std::length_error&) {
    return std::unexpected(out_of_memory());
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
  Result<Application> result = read_caught(*input);
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
