#pragma once

// The docstrings of the records' members: one sentence per row of each record's schema
// table, in the table's order, shared by the model's class and the view's. A row added to a
// table without a line here, or a line left behind by a row removed, stops the build.

#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <utility>

#include "torv_package/application.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package::python {

struct MemberDoc {
  std::string_view name;
  const char* doc;
};

// Docs<T>::members: the members of record T, named as in its table.
template <class T>
struct Docs;

template <>
struct Docs<Segment> {
  static constexpr MemberDoc members[] = {
      {"address", "The first tile-memory address the segment occupies."},
      {"memory_size", "How many bytes the segment occupies in tile memory."},
      {"data", "The bytes stored for the segment; no more than memory_size of them in a valid package."},
      {"flags", "The segment's flags."},
  };
};

template <>
struct Docs<TileImage> {
  static constexpr MemberDoc members[] = {
      {"physical_tile", "The physical tile the image is for; unique within a package."},
      {"entry_point", "The entry point of the tile's program."},
      {"command_address", "The tile's command address."},
      {"diagnostic_address", "The tile's diagnostic address."},
      {"segments", "The image's segments; in a valid package each lies in tile memory and none overlap."},
  };
};

template <>
struct Docs<RegionSlice> {
  static constexpr MemberDoc members[] = {
      {"tile", "The physical tile holding the piece; one of the package's tiles."},
      {"tile_address", "The first tile-memory address of the piece."},
      {"file_offset", "The byte offset of the piece on the file side."},
      {"size", "The length of the piece in bytes; it ends within tile memory in a valid package."},
  };
};

template <>
struct Docs<Binding> {
  static constexpr MemberDoc members[] = {
      {"name", "The tensor's name; non-empty and unique across inputs, outputs and weights."},
      {"dtype", "The name of the tensor's element type."},
      {"shape", "The tensor's dimensions."},
      {"slices", "The pieces of the tensor placed in tile memory."},
  };
};

template <>
struct Docs<HostPage> {
  static constexpr MemberDoc members[] = {
      {"index", "The page's identifier; unique among the pages."},
      {"size", "The page's length in bytes."},
  };
};

template <>
struct Docs<HostSlice> {
  static constexpr MemberDoc members[] = {
      {"page", "The index of the host page holding the piece."},
      {"page_offset", "The byte offset of the piece within its page."},
      {"file_offset", "The byte offset of the piece on the file side."},
      {"size", "The length of the piece in bytes; it lies within its page in a valid package."},
  };
};

template <>
struct Docs<HostCall> {
  static constexpr MemberDoc members[] = {
      {"name", "The call's name, which messages about the call quote."},
      {"command", "The call's command value."},
      {"phases", "The call's phases value."},
      {"inputs", "The slices of the call's input data."},
      {"outputs", "The slices of the call's output data."},
      {"invocations", "How many times the call is invoked; at least 1 in a valid package."},
      {"input_batch_ends", "Exclusive end positions in inputs that cut them into consecutive non-empty batches."},
      {"output_batch_ends", "Exclusive end positions in outputs that cut them into consecutive non-empty batches."},
  };
};

template <>
struct Docs<HostExchange> {
  static constexpr MemberDoc members[] = {
      {"startup_mark", "The mark value of the host startup protocol."},
      {"command_page", "The index of the host page holding the four-byte command slot."},
      {"command_offset", "The byte offset of the command slot within its page."},
      {"pages", "The host pages."},
      {"attach_order", "Page indexes in the order the pages are attached; each names a listed page."},
      {"calls", "The host calls."},
  };
};

template <>
struct Docs<EntryPoint> {
  static constexpr MemberDoc members[] = {
      {"name", "The entry point's name."},
      {"command", "The entry point's command value."},
      {"external_syncs", "The entry point's external synchronisation value."},
  };
};

template <>
struct Docs<DeviceConfigWrite> {
  static constexpr MemberDoc members[] = {
      {"offset", "The byte offset of the register written; four-byte aligned and unique in a valid package."},
      {"value", "The value written."},
  };
};

template <>
struct Docs<ProfileMetadata> {
  static constexpr MemberDoc members[] = {
      {"name", "The annotation's name."},
      {"value", "The annotation's value."},
  };
};

template <>
struct Docs<ProfileExchangeActivity> {
  static constexpr MemberDoc members[] = {
      {"kind", "Whether the window sends or receives."},
      {"start_cycle", "The cycle the window starts at."},
      {"end_cycle", "The cycle the window ends at."},
  };
};

template <>
struct Docs<ProfileStep> {
  static constexpr MemberDoc members[] = {
      {"local_index", "The step's position in its plan, counted from 0."},
      {"phase", "The step's phase number."},
      {"epoch", "The step's epoch number."},
      {"operation", "The name of the step's operation."},
      {"kind", "What the step does."},
      {"kernel", "The name of the step's kernel."},
      {"metadata", "Name/value annotations of the step."},
      {"exchange_activities", "The step's send and receive windows."},
      {"exchange_event_cycles", "The step's exchange event cycle value."},
  };
};

template <>
struct Docs<TileProfilePlan> {
  static constexpr MemberDoc members[] = {
      {"physical_tile", "The profiled tile; one of the package's tiles, with one plan at most."},
      {"steps", "The plan's steps, in order."},
  };
};

template <>
struct Docs<DebugSymbol> {
  static constexpr MemberDoc members[] = {
      {"name", "The symbol's name; non-empty in a valid package."},
      {"address", "The address the symbol names."},
  };
};

template <>
struct Docs<DebugRegion> {
  static constexpr MemberDoc members[] = {
      {"physical_tile", "The tile the region lies on, or 0xFFFFFFFF for a region of every tile."},
      {"address", "The region's first address."},
      {"size", "The region's length in bytes; non-zero, and the region ends within 32 bits."},
      {"name", "The region's name; non-empty in a valid package."},
  };
};

template <>
struct Docs<Application> {
  static constexpr MemberDoc members[] = {
      {"compiler_version", "The version of the compiler that built the package."},
      {"tiles", "The program images, one per physical tile; a valid package has at least one."},
      {"inputs", "The input tensors."},
      {"outputs", "The output tensors."},
      {"weights", "The weight tensors."},
      {"host_exchange", "How the host exchanges data and commands with the device."},
      {"entry_points", "The named entry points."},
      {"device_config_writes", "The device configuration register writes."},
      {"profile_tiles", "The tiles' profiling plans."},
      {"debug_symbols", "The named addresses."},
      {"debug_regions", "The named memory regions."},
  };
};

namespace docs_detail {

// Whether T's docs name the rows of its table, one each, in the table's order.
template <class T>
consteval bool match_table() {
  if constexpr (std::size(Docs<T>::members) != field_count<T>) {
    return false;
  } else {
    return []<std::size_t... I>(std::index_sequence<I...>) {
      return ((Docs<T>::members[I].name == std::get<I>(RecordTable<T>::fields).name) && ...);
    }(std::make_index_sequence<field_count<T>>{});
  }
}

}  // namespace docs_detail

// The docstring of member `name` of record T.
template <class T>
const char* member_doc(std::string_view name) {
  static_assert(docs_detail::match_table<T>(),
                "python/docs.hpp: every row of the record's schema table needs one doc, in the table's order");
  for (const MemberDoc& member : Docs<T>::members) {
    if (member.name == name) return member.doc;
  }
  throw std::logic_error("no doc for a member of the schema table");
}

}  // namespace torv_package::python
