#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <capnp/message.h>
#include <kj/io.h>
#include <kj/memory.h>

#include "torv_package/error.hpp"
#include "torv_package/faults.hpp"
#include "torv_package/records.hpp"

namespace torv_package {

// Tile memory window of the one supported device configuration: [base, base + size).
inline constexpr std::uint32_t tile_memory_base = 0x4c000;
inline constexpr std::uint32_t tile_memory_size = 0x9c000;
inline constexpr std::uint32_t tile_memory_end = tile_memory_base + tile_memory_size;

// Header values a package must carry to be read.
inline constexpr std::uint32_t supported_schema_version = 4;
inline constexpr std::string_view supported_target = "torv21";

// A debug region with this tile number applies to every tile.
inline constexpr std::uint32_t all_tiles = 0xFFFFFFFF;

// What a read found besides the model.
struct ReadDetails {
  // Bytes of the framed message the model was read from.
  std::uint64_t message_bytes = 0;
  // Bytes that follow the message (a second package appended, say). Reading ignores
  // them; a checker may want to warn. Exact for a regular file; from any other stream,
  // what was there without waiting, up to trailing_scan_bytes.
  std::uint64_t trailing_bytes = 0;
  // False when more may follow than trailing_bytes counts: a pipe still open, a stream
  // longer than the scan, or one that failed while it was scanned.
  bool trailing_bytes_exact = true;
};

// How far a stream that is not a regular file is read past the message to count what
// follows; reading never waits for more.
inline constexpr std::uint64_t trailing_scan_bytes = std::uint64_t{1} << 20;

// The package, the root record. Its members, like every record, are generated from the
// schema (src/application.capnp) with their descriptions; its operations are these. Every
// record owns its data: nothing refers back into the file it was read from.
struct Application {
#include "torv_package/application_members.hpp"

  // Reads one package message from `input`, checks its header, converts it and
  // validates the result. `input` is destroyed (for a file: closed) before the call
  // returns, on every path. Never throws.
  static Result<Application> read(kj::Own<kj::InputStream> input);

  // Opens and reads the package at `path`; failure to open is an Io error.
  static Result<Application> read_file(const std::filesystem::path& path);

  // As above, and fills `details` once the message has been read. Counting what follows
  // the message costs nothing for a regular file; any other stream is read as far as it
  // has bytes ready, up to trailing_scan_bytes.
  static Result<Application> read(kj::Own<kj::InputStream> input, ReadDetails& details);
  static Result<Application> read_file(const std::filesystem::path& path, ReadDetails& details);

  // Lookups. A model may change between any two calls, so each scans its lists in stored
  // order, O(n), and keeps nothing that a change could leave stale; PackageView's
  // lookups, over a file that cannot change, are O(log n) through an index.
  //
  // The tile image with physical number `physical`, null when there is none (the first
  // stored, should a package the rules refuse repeat it).
  const TileImage* tile(std::uint32_t physical) const;
  TileImage* tile(std::uint32_t physical);
  // The binding named `name`, searched in inputs, then outputs, then weights; null when
  // there is none.
  const Binding* binding(std::string_view name) const;
  Binding* binding(std::string_view name);
  // The tile's memory as a loader leaves it: tile_memory_size bytes, for tile_memory_base
  // onwards, each segment's data at its address and zero everywhere else (the rest of a
  // segment's memory_size too). Data outside tile memory is left out, and where segments
  // overlap the one stored later wins (both only in a package the rules refuse). A tile
  // the package lacks is Invalid("package has no tile N").
  Result<std::vector<std::uint8_t>> tile_memory(std::uint32_t physical) const;
  // The binding's bytes: its slices in stored order, each `size` bytes of its tile's
  // memory (as tile_memory gives it) from `tile_address`; zero where a slice leaves tile
  // memory or its tile is missing (a package the rules refuse). A name no binding has is
  // Invalid("package has no binding NAME"). Slices adding up to more than the package
  // may expand to (32 MiB + 2.5 x the bytes of its segment data, as a read's budget
  // counts a message) are refused, at the binding's location, before anything is
  // allocated.
  Result<std::vector<std::uint8_t>> binding_bytes(std::string_view name) const;

  // Checks internal consistency; the first rule that fails gives an Invalid error.
  Result<void> validate() const;
  // The same rules, going on after a fault: every fault goes to `faults`, in rule order,
  // until the sink declines more. validate() gives the first of them.
  void validate(FaultSink& faults) const;

  // Validates, then writes the package as one framed message: the supported header and
  // every field. A model that fails validation, or holds text that is not UTF-8 or an
  // enum value outside its enum, gives that error with its location and writes nothing.
  // The same model gives the same bytes on every run.
  Result<void> write(kj::OutputStream& output) const;

  // Writes the package to `path` without ever leaving a partial file there: a temporary
  // file is written next to the file `path` names, flushed to disk and renamed over it,
  // then the folder is flushed.
  // - A regular file is replaced. The new one keeps its mode, and its owner and group
  //   where the process may set them (a set-user-ID or set-group-ID bit is dropped with
  //   an owner or group it could not keep). ACLs and extended attributes are not carried
  //   over, and other hard links to the old file keep the old contents.
  // - A symbolic link is followed, through at most 40 links (else Io(ELOOP)), each link's
  //   text read relative to the link's folder. The file at the end is replaced in its own
  //   folder, or created there when the link dangles; the links stay as they are.
  // - A missing file is created with mode 0666 less the umask.
  // - A directory is refused with Io(EISDIR), and a FIFO, socket or device with
  //   Io(EINVAL), before anything is created.
  // A failure up to the rename (an invalid model, a full disk, an unwritable folder)
  // leaves the target as it was and removes the temporary file. When only the folder
  // sync after the rename fails, the new package is in place but may not survive a
  // crash: the error is Io with folder_sync_category(). A process that dies while
  // writing leaves the target intact and may leave a ".<name>.<16 hex digits>.tmp" file
  // beside it; under RLIMIT_FSIZE that is what happens unless SIGXFSZ is ignored.
  Result<void> write_file(const std::filesystem::path& path) const;
};

// Checks that `ends` cut `slice_count` slices of `call` in `direction` ("input" or
// "output") into consecutive non-empty batches.
Result<void> validate_host_batch_ends(const HostCall& call, std::string_view direction,
                                      std::span<const std::uint32_t> ends,
                                      std::size_t slice_count);

// Cap'n Proto reader options for packages: no traversal limit, nesting limit 64.
capnp::ReaderOptions capnp_reader_options();

}  // namespace torv_package
