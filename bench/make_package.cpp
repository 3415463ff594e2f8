// Writes a device-shaped package file: make_package <path> <tiles> [data bytes per tile]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <capnp/serialize.h>

#include "device_package.hpp"
#include "package_writer.hpp"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_package <path> <tiles> [data bytes per tile]\n");
    return 2;
  }
  const auto tiles = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const std::size_t per_tile =
      argc > 3 ? std::strtoull(argv[3], nullptr, 10) : torv_package::testing::full_tile_data;
  capnp::MallocMessageBuilder message;
  torv_package::testing::write_application(
      torv_package::testing::device_application(tiles, per_tile),
      message.initRoot<torv_package::schema::Application>());
  const int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  capnp::writeMessageToFd(fd, message);
  return close(fd) == 0 ? 0 : 1;
}
