// Built against an installed torv_package (with CMake and with pkg-config), as a user's
// program would be: reads the sample, rewrites it, and checks the library's promises.
//   consumer SAMPLE SCRATCH_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <kj/io.h>
#include <torv_package/application.capnp.h>
#include <torv_package/application.hpp>
#include <torv_package/view.hpp>

namespace {

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int fail(const char* what) {
  std::printf("FAILED: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using torv_package::Application;
  if (argc != 3) return 2;
  const std::filesystem::path copy = std::filesystem::path(argv[2]) / "copy.torv";

  const auto app = Application::read_file(argv[1]);
  if (!app) return fail(app.error().debug_string().c_str());
  if (auto written = app->write_file(copy); !written) return fail(written.error().debug_string().c_str());
  const auto back = Application::read_file(copy);
  if (!back || !(*back == *app)) return fail("the rewritten copy reads back different");
  kj::VectorOutputStream memory;
  if (!app->write(memory)) return fail("write to memory");
  const std::string file_bytes = slurp(copy);
  if (file_bytes != std::string(reinterpret_cast<const char*>(memory.getArray().begin()),
                                memory.getArray().size())) {
    return fail("write and write_file give different bytes");
  }

  Application no_tiles = *app;
  no_tiles.tiles.clear();
  const auto refused = no_tiles.write_file(copy);
  if (refused) return fail("a model without tiles was written");
  if (slurp(copy) != file_bytes) return fail("a refused write changed the file");

  const auto missing = Application::read_file(std::filesystem::path(argv[2]) / "missing.torv");
  if (missing) return fail("a missing file read");

  // The installed view reads the same package in place.
  const auto view = torv_package::PackageView::open(argv[1]);
  if (!view) return fail(view.error().debug_string().c_str());
  const auto viewed = view->to_application();
  if (!viewed || !(*viewed == *app)) return fail("the view converts to a different model");
  if (view->tiles().size() != app->tiles.size()) return fail("the view has a different tile count");

  // The installed schema readers are usable too.
  static_assert(sizeof(torv_package::schema::Application::Reader) > 0);
  std::printf("tiles=%zu compiler=%s refused=%s missing=%s\n", app->tiles.size(),
              app->compiler_version.c_str(), refused.error().debug_string().c_str(),
              missing.error().debug_string().c_str());
  return 0;
}
