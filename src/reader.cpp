#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <capnp/serialize.h>

#include "application.capnp.h"
#include "convert.hpp"
#include "framing.hpp"
#include "mapping.hpp"
#include "path.hpp"
#include "torv_package/application.hpp"
#include "torv_package/events.hpp"
#include "torv_package/schema_table.hpp"
#include "utf8.hpp"

namespace torv_package {
namespace {

// Framing and conversion; the message is released before the model is validated, so the
// two are never held together with the validator's working sets. May throw.
Result<Application> read_model(kj::InputStream& input, Path& path, ReadDetails* details) {
  const WordBuffer buffer = read_framed_message(input);
  const std::uint64_t message_words = buffer.size();
  if (details != nullptr) {
    details->message_bytes = message_words * sizeof(capnp::word);
    const RemainingBytes trailing = count_remaining_bytes(input, trailing_scan_bytes);
    details->trailing_bytes = trailing.count;
    details->trailing_bytes_exact = trailing.exact;
  }
  capnp::FlatArrayMessageReader message(buffer.words(), limited_reader_options(message_words));
  Converter converter(message_words * sizeof(capnp::word), path);
  Application app;
  if (auto ok = converter.convert(message.getRoot<schema::Application>(), &app); !ok) {
    return std::unexpected(std::move(ok).error());
  }
  return app;
}

// The same from a mapped file, copying each data member straight from the mapping and
// giving its pages back as it goes; the mapping is gone before the model is validated.
Result<Application> read_mapped(FileMapping& mapping, Path& path, ReadDetails* details) {
  const std::size_t message_words = framed_message_words(mapping.data(), mapping.size());
  const std::uint64_t message_bytes = std::uint64_t{message_words} * sizeof(capnp::word);
  if (details != nullptr) {
    details->message_bytes = message_bytes;
    details->trailing_bytes = mapping.size() - message_bytes;
    details->trailing_bytes_exact = true;
  }
  Application app;
  {
    const kj::ArrayPtr<const capnp::word> words(reinterpret_cast<const capnp::word*>(mapping.data()),
                                                message_words);
    capnp::FlatArrayMessageReader message(words, limited_reader_options(message_words));
    PageRelease release(mapping.data());
    Converter converter(message_bytes, path, &release);
    if (auto ok = converter.convert(message.getRoot<schema::Application>(), &app); !ok) {
      return std::unexpected(std::move(ok).error());
    }
  }
  mapping.reset();
  return app;
}

// Validates what `read` gave, the one boundary where exceptions become errors: Cap'n
// Proto's and the budget's, and a failed allocation, which must not end the caller's
// process.
template <class Read>
Result<Application> read_caught(Read&& read) {
  Path path;  // empty during framing: framing errors have no location
  Result<Application> app = guarded(path, [&] { return read(path); });
  if (!app) return app;
  if (auto valid = app->validate(); !valid) return std::unexpected(std::move(valid).error());
  TORV_EVENT(events::Level::Info, "application package read",
             events::Field{"tiles", std::uint64_t{app->tiles.size()}},
             events::Field{"compiler", app->compiler_version});
  return app;
}

Result<Application> read_with(kj::Own<kj::InputStream> input, ReadDetails* details) {
  TORV_EVENT(events::Level::Info, "reading application package");
  Result<Application> result =
      read_caught([&](Path& path) { return read_model(*input, path, details); });
  // Released here so that a file is closed before the caller sees the result; a failure
  // to close is reported only when nothing failed before it.
  try {
    input = nullptr;
  } catch (kj::Exception& exception) {
    if (result) result = std::unexpected(PackageError(kj::mv(exception)));
  }
  return result;
}

Result<Application> read_file_with(const std::filesystem::path& path, ReadDetails* details) {
  auto opened = open_package_file(path);
  if (!opened) return std::unexpected(std::move(opened).error());
  if (auto* stream = std::get_if<kj::Own<kj::InputStream>>(&*opened)) return read_with(kj::mv(*stream), details);
  TORV_EVENT(events::Level::Info, "reading application package");
  auto& mapping = std::get<FileMapping>(*opened);
  return read_caught([&](Path& where) { return read_mapped(mapping, where, details); });
}

}  // namespace

capnp::ReaderOptions capnp_reader_options() {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = std::numeric_limits<std::uint64_t>::max();
  return options;
}

Result<Application> Application::read_file(const std::filesystem::path& path) {
  return read_file_with(path, nullptr);
}

Result<Application> Application::read_file(const std::filesystem::path& path, ReadDetails& details) {
  return read_file_with(path, &details);
}

Result<Application> Application::read(kj::Own<kj::InputStream> input) {
  return read_with(kj::mv(input), nullptr);
}

Result<Application> Application::read(kj::Own<kj::InputStream> input, ReadDetails& details) {
  return read_with(kj::mv(input), &details);
}

}  // namespace torv_package
