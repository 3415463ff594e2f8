#include "hostile_inputs.hpp"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <capnp/any.h>
#include <capnp/message.h>

#include "package_writer.hpp"
#include "sample_package.hpp"

namespace torv_package::testing {
namespace {

void put_u32(std::string& bytes, std::uint32_t value) {
  bytes.append(reinterpret_cast<const char*>(&value), 4);
}

// A segment table for `sizes`, padded to a whole word.
std::string segment_table(const std::vector<std::uint32_t>& sizes) {
  std::string table;
  put_u32(table, static_cast<std::uint32_t>(sizes.size() - 1));
  for (const auto size : sizes) put_u32(table, size);
  if (table.size() % 8 != 0) put_u32(table, 0);
  return table;
}

std::uint64_t far_pointer(std::uint32_t segment, std::uint32_t word_offset) {
  return 2 | (std::uint64_t{word_offset} << 3) | (std::uint64_t{segment} << 32);
}

using Slot = std::function<capnp::AnyPointer::Builder(schema::Application::Builder)>;

template <class StructBuilder>
capnp::AnyPointer::Builder slot_of(StructBuilder parent, unsigned slot) {
  return capnp::AnyStruct::Builder(kj::mv(parent)).getPointerSection()[slot];
}

}  // namespace

std::string segment_claim_beyond_file(std::uint32_t segments) {
  return segment_table(std::vector<std::uint32_t>(segments, 0xffffffffu));
}

std::string package_with_segments(std::size_t segments) {
  const std::string single = serialize(valid_application());
  std::vector<std::uint32_t> sizes(segments, 0);
  sizes[0] = static_cast<std::uint32_t>(single.size() / 8 - 1);
  return segment_table(sizes) + single.substr(8);
}

std::vector<AmplifiedList> amplified_lists(std::uint32_t count, bool zero_sized_structs) {
  using App = schema::Application::Builder;
  const std::vector<std::pair<std::string, Slot>> fields = {
      {"tiles", [](App a) { return slot_of(a, 2); }},
      {"inputs", [](App a) { return slot_of(a, 3); }},
      {"outputs", [](App a) { return slot_of(a, 4); }},
      {"weights", [](App a) { return slot_of(a, 5); }},
      {"entryPoints", [](App a) { return slot_of(a, 7); }},
      {"deviceConfigWrites", [](App a) { return slot_of(a, 8); }},
      {"profileTiles", [](App a) { return slot_of(a, 9); }},
      {"debugSymbols", [](App a) { return slot_of(a, 10); }},
      {"debugRegions", [](App a) { return slot_of(a, 11); }},
      {"tiles[0].segments", [](App a) { return slot_of(a.getTiles()[0], 0); }},
      {"inputs[0].shape", [](App a) { return slot_of(a.getInputs()[0], 2); }},
      {"inputs[0].slices", [](App a) { return slot_of(a.getInputs()[0], 3); }},
      {"hostExchange.pages", [](App a) { return slot_of(a.getHostExchange(), 0); }},
      {"hostExchange.attachOrder", [](App a) { return slot_of(a.getHostExchange(), 1); }},
      {"hostExchange.calls", [](App a) { return slot_of(a.getHostExchange(), 2); }},
      {"calls[0].inputs", [](App a) { return slot_of(a.getHostExchange().getCalls()[0], 1); }},
      {"calls[0].outputs", [](App a) { return slot_of(a.getHostExchange().getCalls()[0], 2); }},
      {"calls[0].inputBatchEnds", [](App a) { return slot_of(a.getHostExchange().getCalls()[0], 3); }},
      {"calls[0].outputBatchEnds", [](App a) { return slot_of(a.getHostExchange().getCalls()[0], 4); }},
      {"profileTiles[0].steps", [](App a) { return slot_of(a.getProfileTiles()[0], 0); }},
      {"steps[0].metadata",
       [](App a) { return slot_of(a.getProfileTiles()[0].getSteps()[0], 2); }},
      {"steps[0].exchangeActivities",
       [](App a) { return slot_of(a.getProfileTiles()[0].getSteps()[0], 3); }},
  };
  std::vector<AmplifiedList> out;
  for (const auto& [name, slot] : fields) {
    capnp::MallocMessageBuilder message;
    auto root = message.initRoot<schema::Application>();
    write_application(valid_application(), root);
    if (zero_sized_structs) {
      slot(root).initAsListOfAnyStruct(0, 0, count);
    } else {
      slot(root).initAsAnyList(capnp::ElementSize::VOID, count);
    }
    out.push_back({name, to_bytes(message)});
  }
  return out;
}

std::string far_pointer_chain(std::size_t depth) {
  // Segment i (i < depth) holds one word: a far pointer to word 0 of segment i + 1.
  std::vector<std::uint32_t> sizes(depth + 1, 1);
  std::string bytes = segment_table(sizes);
  for (std::size_t i = 0; i <= depth; ++i) {
    const std::uint64_t word =
        i < depth ? far_pointer(static_cast<std::uint32_t>(i + 1), 0) : far_pointer(0, 0);
    bytes.append(reinterpret_cast<const char*>(&word), 8);
  }
  return bytes;
}

std::string with_bad_pointer(
    const Application& app,
    const std::function<capnp::AnyStruct::Builder(schema::Application::Builder)>& pick,
    unsigned slot) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<schema::Application>();
  write_application(app, root);
  // The pointer section follows the data section.
  auto* pointers = reinterpret_cast<std::uint64_t*>(pick(root).getDataSection().end());
  pointers[slot] = 1 | (std::uint64_t{1} << 26) | (std::uint64_t{2} << 32) | (std::uint64_t{8} << 35);
  return to_bytes(message);
}

std::string text_without_nul(std::size_t bytes) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<schema::Application>();
  write_application(valid_application(), root);
  auto data = slot_of(root, 0).initAs<capnp::Data>(static_cast<unsigned>(bytes));
  std::memset(data.begin(), 'a', data.size());
  return to_bytes(message);
}

namespace {

// `root` in canonical form, framed as one segment, with `padding_words` zero words after it.
std::string canonical(schema::Application::Reader root, std::size_t padding_words) {
  const kj::Array<capnp::word> words = capnp::canonicalize(root);
  std::string bytes = segment_table({static_cast<std::uint32_t>(words.size() + padding_words)});
  bytes.append(reinterpret_cast<const char*>(words.begin()), words.size() * sizeof(capnp::word));
  bytes.append(padding_words * sizeof(capnp::word), '\0');
  return bytes;
}

Application one_bare_tile() {
  Application app;
  app.tiles = {TileImage{0, 0, 0, 0, {}}};
  return app;
}

}  // namespace

std::string canonical_default_records(std::string_view list, std::uint32_t count,
                                      std::size_t padding_words) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<schema::Application>();
  write_application(one_bare_tile(), root);
  // Default records (a call's invocations 1 is stored as zero bits) are what canonical
  // form shrinks to no bytes; built that size directly, so that millions cost nothing.
  auto slot = list == "host_exchange.calls" ? slot_of(root.getHostExchange(), 2)
              : list == "entry_points"      ? slot_of(root, 7)
                                            : slot_of(root, 8);
  slot.initAsListOfAnyStruct(0, 0, count);
  return canonical(root.asReader(), padding_words);
}

std::string shared_segment_data(std::uint32_t segments, std::uint32_t bytes) {
  // One segment for everything, so that every pointer is a plain offset.
  capnp::MallocMessageBuilder message(bytes / 8 + 4 * segments + 1024);
  auto root = message.initRoot<schema::Application>();
  write_application(one_bare_tile(), root);
  auto list = root.getTiles()[0].initSegments(segments);
  const auto data = list[0].initData(bytes);
  const auto* words = message.getSegmentsForOutput()[0].begin();
  const auto word_of = [&](const void* p) {
    return static_cast<std::uint64_t>(static_cast<const capnp::word*>(p) - words);
  };
  for (std::uint32_t i = 1; i < segments; ++i) {
    // The pointer section follows the data section: slot 0 is the data pointer.
    auto* slot = reinterpret_cast<std::uint64_t*>(capnp::AnyStruct::Builder(list[i]).getDataSection().end());
    const std::int64_t offset = static_cast<std::int64_t>(word_of(data.begin())) -
                                static_cast<std::int64_t>(word_of(slot) + 1);
    *slot = 1 | (static_cast<std::uint64_t>(offset) << 2 & 0xffffffff) |
            (std::uint64_t{2} << 32) | (std::uint64_t{bytes} << 35);  // a list of bytes
  }
  return to_bytes(message);
}

Application tiles_with_stride(std::uint32_t tiles, std::uint32_t stride, std::uint32_t regions) {
  Application app;
  app.tiles.reserve(tiles);
  for (std::uint32_t k = 0; k < tiles; ++k) app.tiles.push_back(TileImage{k * stride, 0, 0, 0, {}});
  const std::uint32_t last = app.tiles.back().physical_tile;
  for (std::uint32_t i = 0; i < regions; ++i) {
    app.debug_regions.push_back(DebugRegion{last, tile_memory_base, 4, "r"});
  }
  return app;
}

namespace {

// The word of pointer `slot` of a struct being built.
template <class StructBuilder>
std::uint64_t* pointer_word(StructBuilder record, unsigned slot) {
  // The pointer section follows the data section.
  return reinterpret_cast<std::uint64_t*>(capnp::AnyStruct::Builder(kj::mv(record)).getDataSection().end()) + slot;
}

// Makes the list pointer at `from` point at what the one at `to` points at. Both lie in one
// segment; a list pointer holds its target as a word offset from the word after it.
void alias_list(std::uint64_t* from, const std::uint64_t* to) {
  const std::int64_t offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(*to) & ~3u) >> 2;
  const std::int64_t moved = offset + (to - from);
  *from = (*to & ~std::uint64_t{0xffffffff}) | (static_cast<std::uint32_t>(moved << 2) | 1u);
}

// Writes `app` into one segment and lets `alias` repoint lists within it.
template <class Alias>
std::string aliased(const Application& app, std::size_t words, Alias&& alias) {
  capnp::MallocMessageBuilder message(static_cast<unsigned>(words));
  auto root = message.initRoot<schema::Application>();
  write_application(app, root);
  alias(root);
  if (message.getSegmentsForOutput().size() != 1) std::abort();  // the estimate was short
  return to_bytes(message);
}

}  // namespace

std::string aliased_segment_lists(std::uint32_t tiles, std::uint32_t segments) {
  Application app;
  for (std::uint32_t k = 0; k < tiles; ++k) app.tiles.push_back(TileImage{k, 0, 0, 0, {}});
  for (std::uint32_t i = 0; i < segments; ++i) {
    app.tiles[0].segments.push_back(Segment{tile_memory_base + 16 * i, 16, {}, 0});
  }
  return aliased(app, 4 * std::size_t{segments} + 4 * std::size_t{tiles} + 1024, [&](schema::Application::Builder root) {
    auto list = root.getTiles();
    for (std::uint32_t k = 1; k < tiles; ++k) alias_list(pointer_word(list[k], 0), pointer_word(list[0], 0));
  });
}

std::string aliased_slice_lists(std::uint32_t bindings, std::uint32_t slices) {
  Application app = one_bare_tile();
  for (std::uint32_t b = 0; b < bindings; ++b) app.inputs.push_back(Binding{"b" + std::to_string(b), "u8", {}, {}});
  for (std::uint32_t i = 0; i < slices; ++i) {
    app.inputs[0].slices.push_back(RegionSlice{0, tile_memory_base + 16 * (i % 1024), i, 16});
  }
  return aliased(app, 4 * std::size_t{slices} + 8 * std::size_t{bindings} + 1024, [&](schema::Application::Builder root) {
    auto list = root.getInputs();
    for (std::uint32_t b = 1; b < bindings; ++b) alias_list(pointer_word(list[b], 3), pointer_word(list[0], 3));
  });
}

Application segments_and_slices(std::uint32_t n) {
  Application app = one_bare_tile();
  Binding input{"x", "u8", {n}, {}};
  for (std::uint32_t i = 0; i < n; ++i) {
    app.tiles[0].segments.push_back(Segment{tile_memory_base + 16 * i, 16, {}, 0});
    input.slices.push_back(RegionSlice{0, tile_memory_base + 16 * i, 16 * std::uint64_t{i}, 16});
  }
  app.inputs.push_back(std::move(input));
  return app;
}

std::string narrow_host_pages(std::uint32_t count, std::uint32_t stride) {
  capnp::MallocMessageBuilder message(std::size_t{count} + 1024);
  auto root = message.initRoot<schema::Application>();
  write_application(one_bare_tile(), root);
  auto pages = slot_of(root.getHostExchange(), 0).initAsListOfAnyStruct(1, 0, count);
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t index = k * stride;  // little-endian, as the format is
    std::memcpy(pages[k].getDataSection().begin(), &index, sizeof index);
  }
  return to_bytes(message);
}

std::string many_empty_tiles(std::uint32_t count) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<schema::Application>();
  write_application(Application{}, root);
  auto tiles = root.initTiles(count);
  for (std::uint32_t i = 0; i < count; ++i) tiles[i].setPhysicalTile(i);
  return to_bytes(message);
}

std::string long_binding_name(std::size_t bytes, bool valid) {
  Application app = one_bare_tile();
  app.inputs.push_back(Binding{std::string(bytes, '\x1b'), "u8", {1},
                               {RegionSlice{0, tile_memory_base, 0, valid ? 4 : 1ull << 32}}});
  return serialize(app);
}

}  // namespace torv_package::testing
