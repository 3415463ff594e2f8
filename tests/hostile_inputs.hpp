#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <functional>
#include <vector>

#include <capnp/any.h>

#include "application.capnp.h"

#include "torv_package/application.hpp"

// Crafted package files that try to make a reader allocate, loop or recurse far beyond
// what their size justifies. Shared by the bound tests and the fuzz seed corpus.
namespace torv_package::testing {

// A segment table claiming `segments` segments of 2^32 - 1 words each, and nothing else.
std::string segment_claim_beyond_file(std::uint32_t segments);

// The small valid package, framed in `segments` segments: the message in segment 0,
// followed by empty segments.
std::string package_with_segments(std::size_t segments);

struct AmplifiedList {
  std::string field;  // e.g. "tiles[0].segments"
  std::string bytes;
};

// For every list field of the schema, the small valid package with that list replaced by
// one claiming `count` elements of no size: void elements, or zero-sized structs.
std::vector<AmplifiedList> amplified_lists(std::uint32_t count, bool zero_sized_structs);

// A root pointer that is a far pointer into segment 1, whose landing pad is a far pointer
// into segment 2, and so on through `depth` segments.
std::string far_pointer_chain(std::size_t depth);

// The package `app` with pointer slot `slot` of the struct that `pick` chooses replaced by
// a pointer far beyond the end of its segment.
std::string with_bad_pointer(
    const Application& app,
    const std::function<capnp::AnyStruct::Builder(schema::Application::Builder)>& pick,
    unsigned slot);

// A package whose compiler version is `bytes` bytes of text with no terminating NUL.
std::string text_without_nul(std::size_t bytes);

// A valid package with `count` tiles that have no segments.
std::string many_empty_tiles(std::uint32_t count);

// A package in Cap'n Proto's canonical form, where all-default structs take no bytes: one
// tile, and `count` default records in `list` ("host_exchange.calls", "entry_points" or
// "device_config_writes"), followed by `padding_words` zero words that nothing points at.
std::string canonical_default_records(std::string_view list, std::uint32_t count,
                                      std::size_t padding_words = 0);

// One tile with `segments` segments whose data pointers all point at the same `bytes`
// bytes of data: a small message that names far more data than it holds.
std::string shared_segment_data(std::uint32_t segments, std::uint32_t bytes);

// `tiles` empty tiles numbered k * `stride`, and `regions` debug regions on the last one:
// with a stride that is a bucket count of a standard hash table, every number collides.
// A package whose one binding has a name of `bytes` ESC characters (six bytes each when
// escaped) and, unless `valid`, a slice too large for the tile, so that its refusal
// quotes the name.
std::string long_binding_name(std::size_t bytes, bool valid = false);

Application tiles_with_stride(std::uint32_t tiles, std::uint32_t stride, std::uint32_t regions);

// Valid packages that name many records in few bytes, or that are large and valid, for
// the bounds of everything that walks a package.

// `tiles` tiles numbered 0.., whose segment lists all point at tile 0's list of
// `segments` 16-byte segments: one list in the file, tiles x segments records in a model.
std::string aliased_segment_lists(std::uint32_t tiles, std::uint32_t segments);

// `bindings` inputs named b0.., whose slice lists all point at the first one's list of
// `slices` slices on tile 0.
std::string aliased_slice_lists(std::uint32_t bindings, std::uint32_t slices);

// One tile with `n` 16-byte segments, and one input with a slice over each of them.
Application segments_and_slices(std::uint32_t n);

// One tile and `count` host pages stored as their index alone (one word each, numbered
// k x `stride`): the smallest page records a file can hold, each twice its size in a model.
std::string narrow_host_pages(std::uint32_t count, std::uint32_t stride);

}  // namespace torv_package::testing
