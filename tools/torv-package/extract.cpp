// torv-package extract: a tile's memory window as a loader leaves it, every tile's into a
// folder, or a binding's bytes, raw or as a NumPy .npy file.
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <kj/exception.h>

#include "commands.hpp"
#include "lookup.hpp"
#include "npy.hpp"
#include "output.hpp"
#include "output_file.hpp"

namespace torv_package::cli {
namespace {

using Pieces = std::vector<kj::ArrayPtr<const kj::byte>>;

// What the package lacks (a tile, a binding, a NumPy type) is a refusal, status 1; running
// out of memory is trouble.
int lookup_failure(const std::string& path, const PackageError& error) {
  report_package_error(path, error);
  return error.kind() == ErrorKind::Invalid ? exit_refused : exit_trouble;
}

kj::ArrayPtr<const kj::byte> bytes_of(const void* data, std::size_t size) {
  return {static_cast<const kj::byte*>(data), size};
}

// Writes `pieces` to `file` and completes it.
int write_out(OutputFile& file, const Pieces& pieces) {
  try {
    file.stream().write(kj::arrayPtr(pieces.data(), pieces.size()));
  } catch (const kj::Exception&) {
    // The stream keeps the error, which finish() reports.
  }
  return file.finish();
}

// The tile's window as tile_memory gives it, written from the package where it holds the
// bytes and from zeros between, with no copy of the window made.
int write_window(OutputFile& file, const TileImageView& tile) {
  static const std::vector<kj::byte> zeros(tile_memory_size);
  Pieces pieces;
  std::uint32_t at = tile_memory_base;
  for (const lookup::Piece& piece : lookup::visible_pieces(tile)) {
    pieces.push_back(bytes_of(zeros.data(), piece.begin - at));
    pieces.push_back(bytes_of(piece.data, piece.end - piece.begin));
    at = piece.end;
  }
  pieces.push_back(bytes_of(zeros.data(), tile_memory_end - at));
  return write_out(file, pieces);
}

int extract_tile(const PackageView& view, const std::string& path, std::uint32_t physical, OutputFile& file) {
  const auto tile = view.tile(physical);
  if (!tile) return lookup_failure(path, lookup::no_tile(physical));
  return write_window(file, *tile);
}

int extract_tiles(const PackageView& view, const std::string& path, const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    report(fmt::format("cannot create folder {}: {}", shown(folder), error.message()));
    return exit_trouble;
  }
  for (const TileImageView tile : view.tiles()) {
    const std::string name = (std::filesystem::path(folder) / fmt::format("tile-{}.bin", tile.physical_tile())).string();
    auto file = OutputFile::open(name, {path});
    if (!file) return exit_trouble;
    if (const int status = write_window(*file, tile); status != exit_ok) return status;
  }
  return exit_ok;
}

int extract_binding(const PackageView& view, const std::string& path, const std::string& name, bool npy,
                    OutputFile& file) {
  const auto bytes = view.binding_bytes(name);
  if (!bytes) return lookup_failure(path, bytes.error());
  std::string header;
  if (npy) {
    const BindingView binding = *view.binding(name);
    const auto shape_view = binding.shape();
    const std::vector<std::uint32_t> shape(shape_view.begin(), shape_view.end());
    const auto array = npy_array(binding.dtype(), shape, bytes->size());
    if (!array) {
      report(fmt::format("{}: binding {}: {}; leave out --npy for its raw bytes", shown(path), shown(name), array.error()));
      return exit_refused;
    }
    if (array->warning) report(fmt::format("warning: {}: binding {}: {}", shown(path), shown(name), *array->warning));
    header = array->header;
  }
  return write_out(file, {bytes_of(header.data(), header.size()), bytes_of(bytes->data(), bytes->size())});
}

}  // namespace

int extract(const std::string& path, const ExtractOptions& options) {
  // Bytes written to a terminal would garble it.
  if (!options.output && ::isatty(STDOUT_FILENO)) {
    report("refusing to write bytes to a terminal; give -o FILE or redirect standard output");
    return exit_trouble;
  }
  // Checked before the package is read: an output that would replace it is refused.
  std::optional<OutputFile> file;
  if (!options.tiles) {
    file = OutputFile::open(options.output, {path});
    if (!file) return exit_trouble;
  }
  const auto view = open_or_report(path);
  if (!view) return exit_trouble;
  if (options.tiles) return extract_tiles(*view, path, *options.output);
  if (options.tile) return extract_tile(*view, path, *options.tile, *file);
  return extract_binding(*view, path, *options.binding, options.npy, *file);
}

}  // namespace torv_package::cli
