// Reads a package through the installed library and prints a one-line summary.
#include <fcntl.h>

#include <cstdio>

#include <kj/io.h>
#include <torv_package/application.hpp>
#include <torv_package/application.capnp.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 3;
  auto app = torv_package::Application::read(kj::heap<kj::FdInputStream>(kj::AutoCloseFd(fd)));
  if (!app) {
    std::printf("%s\n", app.error().debug_string().c_str());
    return 1;
  }
  // The installed schema readers are usable too.
  static_assert(sizeof(torv_package::schema::Application::Reader) > 0);
  std::printf("tiles=%zu compiler=%s\n", app->tiles.size(), app->compiler_version.c_str());
  return 0;
}
