// Replacing a package file atomically with a written model.
#include <expected>
#include <filesystem>
#include <system_error>

#include <kj/exception.h>

#include "file_replacement.hpp"
#include "torv_package/application.hpp"
#include "writer.hpp"

namespace torv_package {

Result<void> Application::write_file(const std::filesystem::path& path) const {
  // Built in full before the folder is touched: an invalid model leaves no trace.
  auto message = build_message(*this);
  if (!message) return std::unexpected(std::move(message).error());
  return write_built_file(*message, path);
}

Result<void> write_built_file(BuiltMessage& message, const std::filesystem::path& path) {
  auto file = FileReplacement::begin(path);
  if (!file) return std::unexpected(std::move(file).error());
  FdSink sink(file->fd());
  try {
    message.write_to(sink);
  } catch (kj::Exception& exception) {
    if (sink.error != 0) return std::unexpected(PackageError(std::error_code(sink.error, std::generic_category()), "write"));
    return std::unexpected(PackageError(kj::mv(exception)));
  }
  return file->commit();
}

}  // namespace torv_package
