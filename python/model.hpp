#pragma once

// The members of every record of the package model, as Python sees them: the C++ names,
// in declared order.

#include <cstdint>
#include <tuple>

#include "objects.hpp"
#include "torv_package/application.hpp"

namespace torv_package::python {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

template <>
struct Model<Segment> {
  static constexpr const char* name = "Segment";
  static auto fields() {
    return std::tuple(Scalar{"address", &Segment::address}, Scalar{"memory_size", &Segment::memory_size},
                      Bytes<Segment>{"data", &Segment::data, 0}, Scalar{"flags", &Segment::flags});
  }
};

template <>
struct Model<TileImage> {
  static constexpr const char* name = "TileImage";
  static auto fields() {
    return std::tuple(Scalar{"physical_tile", &TileImage::physical_tile},
                      Scalar{"entry_point", &TileImage::entry_point},
                      Scalar{"command_address", &TileImage::command_address},
                      Scalar{"diagnostic_address", &TileImage::diagnostic_address},
                      Records<TileImage, Segment>{"segments", &TileImage::segments, 0});
  }
};

template <>
struct Model<RegionSlice> {
  static constexpr const char* name = "RegionSlice";
  static auto fields() {
    return std::tuple(Scalar{"tile", &RegionSlice::tile}, Scalar{"tile_address", &RegionSlice::tile_address},
                      Scalar{"file_offset", &RegionSlice::file_offset}, Scalar{"size", &RegionSlice::size});
  }
};

template <>
struct Model<Binding> {
  static constexpr const char* name = "Binding";
  static auto fields() {
    return std::tuple(Text<Binding>{"name", &Binding::name}, Text<Binding>{"dtype", &Binding::dtype},
                      Numbers<Binding>{"shape", &Binding::shape, 0},
                      Records<Binding, RegionSlice>{"slices", &Binding::slices, 1});
  }
};

template <>
struct Model<HostPage> {
  static constexpr const char* name = "HostPage";
  static auto fields() { return std::tuple(Scalar{"index", &HostPage::index}, Scalar{"size", &HostPage::size}); }
};

template <>
struct Model<HostSlice> {
  static constexpr const char* name = "HostSlice";
  static auto fields() {
    return std::tuple(Scalar{"page", &HostSlice::page}, Scalar{"page_offset", &HostSlice::page_offset},
                      Scalar{"file_offset", &HostSlice::file_offset}, Scalar{"size", &HostSlice::size});
  }
};

template <>
struct Model<HostCall> {
  static constexpr const char* name = "HostCall";
  static auto fields() {
    return std::tuple(Text<HostCall>{"name", &HostCall::name}, Scalar{"command", &HostCall::command},
                      Scalar{"phases", &HostCall::phases},
                      Records<HostCall, HostSlice>{"inputs", &HostCall::inputs, 0},
                      Records<HostCall, HostSlice>{"outputs", &HostCall::outputs, 1},
                      Scalar{"invocations", &HostCall::invocations},
                      Numbers<HostCall>{"input_batch_ends", &HostCall::input_batch_ends, 2},
                      Numbers<HostCall>{"output_batch_ends", &HostCall::output_batch_ends, 3});
  }
};

template <>
struct Model<HostExchange> {
  static constexpr const char* name = "HostExchange";
  static auto fields() {
    return std::tuple(Scalar{"startup_mark", &HostExchange::startup_mark},
                      Scalar{"command_page", &HostExchange::command_page},
                      Scalar{"command_offset", &HostExchange::command_offset},
                      Records<HostExchange, HostPage>{"pages", &HostExchange::pages, 0},
                      Numbers<HostExchange>{"attach_order", &HostExchange::attach_order, 1},
                      Records<HostExchange, HostCall>{"calls", &HostExchange::calls, 2});
  }
};

template <>
struct Model<EntryPoint> {
  static constexpr const char* name = "EntryPoint";
  static auto fields() {
    return std::tuple(Text<EntryPoint>{"name", &EntryPoint::name}, Scalar{"command", &EntryPoint::command},
                      Scalar{"external_syncs", &EntryPoint::external_syncs});
  }
};

template <>
struct Model<DeviceConfigWrite> {
  static constexpr const char* name = "DeviceConfigWrite";
  static auto fields() {
    return std::tuple(Scalar{"offset", &DeviceConfigWrite::offset}, Scalar{"value", &DeviceConfigWrite::value});
  }
};

template <>
struct Model<ProfileMetadata> {
  static constexpr const char* name = "ProfileMetadata";
  static auto fields() {
    return std::tuple(Text<ProfileMetadata>{"name", &ProfileMetadata::name},
                      Text<ProfileMetadata>{"value", &ProfileMetadata::value});
  }
};

template <>
struct Model<ProfileExchangeActivity> {
  static constexpr const char* name = "ProfileExchangeActivity";
  static auto fields() {
    return std::tuple(Scalar{"kind", &ProfileExchangeActivity::kind},
                      Scalar{"start_cycle", &ProfileExchangeActivity::start_cycle},
                      Scalar{"end_cycle", &ProfileExchangeActivity::end_cycle});
  }
};

template <>
struct Model<ProfileStep> {
  static constexpr const char* name = "ProfileStep";
  static auto fields() {
    return std::tuple(Scalar{"local_index", &ProfileStep::local_index}, Scalar{"phase", &ProfileStep::phase},
                      Scalar{"epoch", &ProfileStep::epoch}, Text<ProfileStep>{"operation", &ProfileStep::operation},
                      Scalar{"kind", &ProfileStep::kind}, Text<ProfileStep>{"kernel", &ProfileStep::kernel},
                      Records<ProfileStep, ProfileMetadata>{"metadata", &ProfileStep::metadata, 0},
                      Records<ProfileStep, ProfileExchangeActivity>{"exchange_activities",
                                                                   &ProfileStep::exchange_activities, 1},
                      Scalar{"exchange_event_cycles", &ProfileStep::exchange_event_cycles});
  }
};

template <>
struct Model<TileProfilePlan> {
  static constexpr const char* name = "TileProfilePlan";
  static auto fields() {
    return std::tuple(Scalar{"physical_tile", &TileProfilePlan::physical_tile},
                      Records<TileProfilePlan, ProfileStep>{"steps", &TileProfilePlan::steps, 0});
  }
};

template <>
struct Model<DebugSymbol> {
  static constexpr const char* name = "DebugSymbol";
  static auto fields() {
    return std::tuple(Text<DebugSymbol>{"name", &DebugSymbol::name}, Scalar{"address", &DebugSymbol::address});
  }
};

template <>
struct Model<DebugRegion> {
  static constexpr const char* name = "DebugRegion";
  static auto fields() {
    return std::tuple(Scalar{"physical_tile", &DebugRegion::physical_tile}, Scalar{"address", &DebugRegion::address},
                      Scalar{"size", &DebugRegion::size}, Text<DebugRegion>{"name", &DebugRegion::name});
  }
};

template <>
struct Model<Application> {
  static constexpr const char* name = "Application";
  static auto fields() {
    using A = Application;
    return std::tuple(Text<A>{"compiler_version", &A::compiler_version},
                      Records<A, TileImage>{"tiles", &A::tiles, 0}, Records<A, Binding>{"inputs", &A::inputs, 1},
                      Records<A, Binding>{"outputs", &A::outputs, 2}, Records<A, Binding>{"weights", &A::weights, 3},
                      Record<A, HostExchange>{"host_exchange", &A::host_exchange, 4},
                      Records<A, EntryPoint>{"entry_points", &A::entry_points, 5},
                      Records<A, DeviceConfigWrite>{"device_config_writes", &A::device_config_writes, 6},
                      Records<A, TileProfilePlan>{"profile_tiles", &A::profile_tiles, 7},
                      Records<A, DebugSymbol>{"debug_symbols", &A::debug_symbols, 8},
                      Records<A, DebugRegion>{"debug_regions", &A::debug_regions, 9});
  }
};

}  // namespace torv_package::python
