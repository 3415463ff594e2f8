#include "view_agreement.hpp"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "package_writer.hpp"
#include "torv_package/view.hpp"

namespace torv_package::testing {
namespace {

std::string describe(const Result<Application>& result) {
  if (result) return "a package";
  return fmt::format("{} at '{}'", result.error().debug_string(), result.error().location());
}

// A view's answer in the form of a read's: its error, or the model it converts to.
Result<Application> as_read(Result<PackageView> view) {
  if (!view) return std::unexpected(std::move(view).error());
  return view->to_application();
}

}  // namespace

std::optional<std::string> view_disagreement(std::string_view bytes) {
  const Result<Application> read = read_bytes(bytes);

  static std::atomic<unsigned> serial{0};
  const auto file = std::filesystem::temp_directory_path() /
                    fmt::format("torv_view_agreement_{}_{}", getpid(), serial++);
  std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ReadDetails read_details;
  ReadDetails view_details;
  const Result<Application> read_file = Application::read_file(file, read_details);
  const Result<Application> opened = as_read(PackageView::open(file, view_details));
  std::filesystem::remove(file);

  // Aligned, then one byte off, which the view must copy.
  std::vector<std::byte> aligned(bytes.size());
  if (!bytes.empty()) std::memcpy(aligned.data(), bytes.data(), bytes.size());
  std::vector<std::byte> shifted(bytes.size() + 1);
  if (!bytes.empty()) std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
  const Result<Application> from_memory = as_read(PackageView::from_bytes(std::span<const std::byte>(aligned)));
  const Result<Application> from_unaligned =
      as_read(PackageView::from_bytes(std::span<const std::byte>(shifted).subspan(1)));

  const std::pair<const char*, const Result<Application>*> others[] = {
      {"Application::read_file", &read_file},
      {"PackageView::open", &opened},
      {"PackageView::from_bytes", &from_memory},
      {"PackageView::from_bytes (unaligned)", &from_unaligned},
  };
  for (const auto& [name, other] : others) {
    if (*other != read) {
      return fmt::format("Application::read gives {}, {} gives {}", describe(read), name, describe(*other));
    }
  }
  if (read_details.message_bytes != view_details.message_bytes ||
      read_details.trailing_bytes != view_details.trailing_bytes ||
      read_details.trailing_bytes_exact != view_details.trailing_bytes_exact) {
    return fmt::format("read_file counts {} message and {} trailing bytes, PackageView::open {} and {}",
                       read_details.message_bytes, read_details.trailing_bytes, view_details.message_bytes,
                       view_details.trailing_bytes);
  }
  return std::nullopt;
}

}  // namespace torv_package::testing
