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
#include "path.hpp"
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

template <class T>
struct IsResult : std::false_type {};
template <class T>
struct IsResult<Result<T>> : std::true_type {};

// Converts one message into the model, charging every allocation to the memory budget
// before it is made and keeping the path of what it converts, so that every error names
// its place. Cap'n Proto accessors and the budget throw kj::Exception; the path then still
// names the field being read.
class Converter {
 public:
  Converter(std::uint64_t message_bytes, Path& path) : budget_(message_bytes), path_(path) {}

  Result<Application> convert(schema::Application::Reader root);

 private:
  std::unexpected<PackageError> fail(PackageError error) const {
    return std::unexpected(std::move(error).at(path_.str()));
  }

  // The text of member `field`, which `get` obtains, checked; charged to the budget when
  // it is to be copied.
  template <class Get>
  Result<std::string_view> text_view(std::string_view field, Get&& get, bool copied = false) {
    path_.enter(field);
    const capnp::Text::Reader text = get();
    const std::string_view view(text.cStr(), text.size());
    if (auto error = check_utf8(view)) return fail(PackageError(*error));
    if (copied) budget_.text(view.size());
    path_.leave();
    return view;
  }

  template <class Get>
  Result<std::string> text(std::string_view field, Get&& get) {
    TORV_TRY(view, text_view(field, std::forward<Get>(get), true));
    return std::string(view);
  }

  template <class Model, class SchemaEnum>
  Result<Model> enumeration(std::string_view field, SchemaEnum stored, std::uint16_t enumerants) {
    const auto raw = static_cast<std::uint16_t>(stored);
    if (raw >= enumerants) {
      path_.enter(field);
      return fail(PackageError(NotInSchema{raw}));
    }
    return static_cast<Model>(raw);
  }

  // Member `field`, a list that `get` obtains, converted element by element into `out` by
  // `convert`, which gives a record or a Result of one.
  template <class T, class Get, class Convert>
  Result<void> list(std::string_view field, std::vector<T>& out, Get&& get, Convert&& convert) {
    path_.enter(field);
    const auto reader = get();
    budget_.list<T>(reader.size());
    out.reserve(reader.size());
    for (unsigned i = 0; i < reader.size(); ++i) {
      path_.at(i);
      if constexpr (IsResult<decltype(convert(reader[i]))>::value) {
        auto element = convert(reader[i]);
        if (!element) return std::unexpected(std::move(element).error());
        out.push_back(std::move(*element));
      } else {
        out.push_back(convert(reader[i]));
      }
    }
    path_.leave();
    return {};
  }

  template <class Get>
  Result<void> u32_list(std::string_view field, std::vector<std::uint32_t>& out, Get&& get) {
    return list(field, out, std::forward<Get>(get), [](std::uint32_t value) { return value; });
  }

  Result<Segment> segment(schema::Segment::Reader segment);
  Result<TileImage> tile(schema::TileImage::Reader tile);
  Result<Binding> binding(schema::Binding::Reader binding);
  // read_host_slices: the inputs or the outputs of a call; a slice cannot fail.
  template <class Get>
  Result<void> host_slices(std::string_view field, std::vector<HostSlice>& out, Get&& get) {
    return list(field, out, std::forward<Get>(get), [](schema::HostSlice::Reader slice) {
      return HostSlice{slice.getPage(), slice.getPageOffset(), slice.getFileOffset(),
                       slice.getSize()};
    });
  }
  Result<HostCall> host_call(schema::HostCall::Reader call);
  Result<HostExchange> host_exchange(schema::HostExchange::Reader exchange);
  Result<ProfileStep> profile_step(schema::ProfileStepPlan::Reader step);
  Result<TileProfilePlan> profile_plan(schema::TileProfilePlan::Reader plan);
  Result<void> check_header(schema::Application::Reader root);

  MemoryBudget budget_;
  Path& path_;
};

#define TORV_CHECK(expr)                                      \
  do {                                                        \
    if (auto ok_ = (expr); !ok_) return std::unexpected(std::move(ok_).error()); \
  } while (false)

Result<Segment> Converter::segment(schema::Segment::Reader segment) {
  Segment model{segment.getAddress(), segment.getMemorySize(), {}, 0};
  path_.enter("data");
  const capnp::Data::Reader data = segment.getData();
  budget_.data(data.size());
  model.data.assign(data.begin(), data.end());
  path_.leave();
  model.flags = segment.getFlags();
  return model;
}

Result<TileImage> Converter::tile(schema::TileImage::Reader tile) {
  TileImage model{tile.getPhysicalTile(), tile.getEntryPoint(), tile.getCommandAddress(),
                  tile.getDiagnosticAddress(), {}};
  TORV_CHECK(list("segments", model.segments, [&] { return tile.getSegments(); },
                  [&](schema::Segment::Reader s) { return segment(s); }));
  return model;
}

Result<Binding> Converter::binding(schema::Binding::Reader binding) {
  TORV_TRY(name, text("name", [&] { return binding.getName(); }));
  TORV_TRY(dtype, text("dtype", [&] { return binding.getDtype(); }));
  Binding model{std::move(name), std::move(dtype), {}, {}};
  TORV_CHECK(u32_list("shape", model.shape, [&] { return binding.getShape(); }));
  TORV_CHECK(list("slices", model.slices, [&] { return binding.getSlices(); },
                  [](schema::RegionSlice::Reader slice) {
                    return RegionSlice{slice.getTile(), slice.getTileAddress(),
                                       slice.getFileOffset(), slice.getSize()};
                  }));
  return model;
}

Result<HostCall> Converter::host_call(schema::HostCall::Reader call) {
  TORV_TRY(name, text("name", [&] { return call.getName(); }));
  HostCall model{std::move(name), call.getCommand(), call.getPhases(), {}, {},
                 call.getInvocations(), {}, {}};
  TORV_CHECK(host_slices("inputs", model.inputs, [&] { return call.getInputs(); }));
  TORV_CHECK(host_slices("outputs", model.outputs, [&] { return call.getOutputs(); }));
  TORV_CHECK(u32_list("input_batch_ends", model.input_batch_ends,
                      [&] { return call.getInputBatchEnds(); }));
  TORV_CHECK(u32_list("output_batch_ends", model.output_batch_ends,
                      [&] { return call.getOutputBatchEnds(); }));
  return model;
}

Result<HostExchange> Converter::host_exchange(schema::HostExchange::Reader exchange) {
  HostExchange model;
  model.startup_mark = exchange.getStartupMark();
  model.command_page = exchange.getCommandPage();
  model.command_offset = exchange.getCommandOffset();
  TORV_CHECK(list("pages", model.pages, [&] { return exchange.getPages(); },
                  [](schema::HostPage::Reader page) { return HostPage{page.getIndex(), page.getSize()}; }));
  TORV_CHECK(u32_list("attach_order", model.attach_order, [&] { return exchange.getAttachOrder(); }));
  TORV_CHECK(list("calls", model.calls, [&] { return exchange.getCalls(); },
                  [&](schema::HostCall::Reader call) { return host_call(call); }));
  return model;
}

Result<ProfileStep> Converter::profile_step(schema::ProfileStepPlan::Reader step) {
  ProfileStep model{step.getLocalIndex(), step.getPhase(), step.getEpoch(), {}, {}, {}, {}, {}, 0};
  TORV_TRY(operation, text("operation", [&] { return step.getOperation(); }));
  model.operation = std::move(operation);
  TORV_TRY(kind, (enumeration<ProfileStepKind>("kind", step.getKind(), 4)));
  model.kind = kind;
  TORV_TRY(kernel, text("kernel", [&] { return step.getKernel(); }));
  model.kernel = std::move(kernel);
  TORV_CHECK(list("metadata", model.metadata, [&] { return step.getMetadata(); },
                  [&](schema::ProfileMetadata::Reader entry) -> Result<ProfileMetadata> {
                    TORV_TRY(name, text("name", [&] { return entry.getName(); }));
                    TORV_TRY(value, text("value", [&] { return entry.getValue(); }));
                    return ProfileMetadata{std::move(name), std::move(value)};
                  }));
  TORV_CHECK(list("exchange_activities", model.exchange_activities,
                  [&] { return step.getExchangeActivities(); },
                  [&](schema::ProfileExchangeActivity::Reader activity)
                      -> Result<ProfileExchangeActivity> {
                    TORV_TRY(kind, (enumeration<ProfileExchangeActivityKind>(
                                       "kind", activity.getKind(), 2)));
                    return ProfileExchangeActivity{kind, activity.getStartCycle(),
                                                   activity.getEndCycle()};
                  }));
  model.exchange_event_cycles = step.getExchangeEventCycles();
  return model;
}

Result<TileProfilePlan> Converter::profile_plan(schema::TileProfilePlan::Reader plan) {
  TileProfilePlan model{plan.getPhysicalTile(), {}};
  TORV_CHECK(list("steps", model.steps, [&] { return plan.getSteps(); },
                  [&](schema::ProfileStepPlan::Reader step) { return profile_step(step); }));
  return model;
}

// The header fields, in this order; a mismatch names the first field that differs.
Result<void> Converter::check_header(schema::Application::Reader root) {
  const auto incompatible = [](const char* field) {
    return std::unexpected(PackageError::invalid("incompatible package header").at(field));
  };
  if (root.getSchemaVersion() != supported_schema_version) return incompatible("schema_version");
  TORV_TRY(target, text_view("target", [&] { return root.getTarget(); }));
  if (target != supported_target) return incompatible("target");
  if (root.getTileMemoryBase() != tile_memory_base) return incompatible("tile_memory_base");
  if (root.getTileMemorySize() != tile_memory_size) return incompatible("tile_memory_size");
  return {};
}

Result<Application> Converter::convert(schema::Application::Reader root) {
  TORV_CHECK(check_header(root));
  TORV_TRY(compiler_version, text("compiler_version", [&] { return root.getCompilerVersion(); }));
  Application app;
  app.compiler_version = std::move(compiler_version);
  TORV_CHECK(list("tiles", app.tiles, [&] { return root.getTiles(); },
                  [&](schema::TileImage::Reader t) { return tile(t); }));
  const auto bindings = [&](const char* field, std::vector<Binding>& out, auto get) {
    return list(field, out, [&] { return get(root); },
                [&](schema::Binding::Reader b) { return binding(b); });
  };
  TORV_CHECK(bindings("inputs", app.inputs, [](auto r) { return r.getInputs(); }));
  TORV_CHECK(bindings("outputs", app.outputs, [](auto r) { return r.getOutputs(); }));
  TORV_CHECK(bindings("weights", app.weights, [](auto r) { return r.getWeights(); }));

  path_.enter("host_exchange");
  TORV_TRY(exchange, host_exchange(root.getHostExchange()));
  path_.leave();
  app.host_exchange = std::move(exchange);

  TORV_CHECK(list("entry_points", app.entry_points, [&] { return root.getEntryPoints(); },
                  [&](schema::EntryPoint::Reader entry) -> Result<EntryPoint> {
                    TORV_TRY(name, text("name", [&] { return entry.getName(); }));
                    return EntryPoint{std::move(name), entry.getCommand(), entry.getExternalSyncs()};
                  }));
  TORV_CHECK(list("device_config_writes", app.device_config_writes,
                  [&] { return root.getDeviceConfigWrites(); },
                  [](schema::DeviceConfigWrite::Reader write) {
                    return DeviceConfigWrite{write.getOffset(), write.getValue()};
                  }));
  TORV_CHECK(list("profile_tiles", app.profile_tiles, [&] { return root.getProfileTiles(); },
                  [&](schema::TileProfilePlan::Reader plan) { return profile_plan(plan); }));
  TORV_CHECK(list("debug_symbols", app.debug_symbols, [&] { return root.getDebugSymbols(); },
                  [&](schema::DebugSymbol::Reader symbol) -> Result<DebugSymbol> {
                    TORV_TRY(name, text("name", [&] { return symbol.getName(); }));
                    return DebugSymbol{std::move(name), symbol.getAddress()};
                  }));
  TORV_CHECK(list("debug_regions", app.debug_regions, [&] { return root.getDebugRegions(); },
                  [&](schema::DebugRegion::Reader region) -> Result<DebugRegion> {
                    DebugRegion model{region.getPhysicalTile(), region.getAddress(),
                                      region.getSize(), {}};
                    TORV_TRY(name, text("name", [&] { return region.getName(); }));
                    model.name = std::move(name);
                    return model;
                  }));
  return app;
}

// Framing and conversion; the message is released before the model is validated, so the
// two are never held together with the validator's working sets. May throw.
Result<Application> read_model(kj::InputStream& input, Path& path, ReadDetails* details) {
  const WordBuffer buffer = read_framed_message(input);
  const std::uint64_t message_words = buffer.size();
  if (details != nullptr) {
    details->message_bytes = message_words * sizeof(capnp::word);
    details->trailing_bytes = count_remaining_bytes(input);
  }

  capnp::ReaderOptions options = capnp_reader_options();
  options.traversalLimitInWords = std::min(
      options.traversalLimitInWords,
      traversal_floor_words + traversal_words_per_message_word * message_words);
  capnp::FlatArrayMessageReader message(buffer.words(), options);
  Converter converter(message_words * sizeof(capnp::word), path);
  return converter.convert(message.getRoot<schema::Application>());
}

PackageError out_of_memory() {
  return PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                    kj::heapString("not enough memory to read the package")));
}

// The one boundary where exceptions become errors: Cap'n Proto's and the budget's, and a
// failed allocation, which must not end the caller's process.
Result<Application> read_caught(kj::InputStream& input, ReadDetails* details) {
  Path path;  // empty during framing: framing errors have no location
  try {
    TORV_TRY(app, read_model(input, path, details));
    if (auto valid = app.validate(); !valid) return std::unexpected(std::move(valid).error());
    TORV_EVENT(events::Level::Info, "application package read",
               events::Field{"tiles", std::uint64_t{app.tiles.size()}},
               events::Field{"compiler", app.compiler_version});
    return app;
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)).at(path.str()));
  } catch (const StreamReadError& failure) {
    return std::unexpected(PackageError(std::error_code(failure.error, std::generic_category())));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory().at(path.str()));
  } catch (const std::length_error&) {
    return std::unexpected(out_of_memory().at(path.str()));
  }
}

Result<Application> read_with(kj::Own<kj::InputStream> input, ReadDetails* details) {
  TORV_EVENT(events::Level::Info, "reading application package");
  Result<Application> result = read_caught(*input, details);
  // Released here so that a file is closed before the caller sees the result; a failure
  // to close is reported only when nothing failed before it.
  try {
    input = nullptr;
  } catch (kj::Exception& exception) {
    if (result) result = std::unexpected(PackageError(kj::mv(exception)));
  }
  return result;
}

#undef TORV_TRY
#undef TORV_CHECK

}  // namespace

capnp::ReaderOptions capnp_reader_options() {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = std::numeric_limits<std::uint64_t>::max();
  return options;
}

Result<Application> Application::read(kj::Own<kj::InputStream> input) {
  return read_with(kj::mv(input), nullptr);
}

Result<Application> Application::read(kj::Own<kj::InputStream> input, ReadDetails& details) {
  return read_with(kj::mv(input), &details);
}

}  // namespace torv_package
