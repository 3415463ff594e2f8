#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <capnp/message.h>

#include "application.capnp.h"
#include "torv_package/application.hpp"

// Packages for tests, benchmarks and the fuzz corpus, written by the library's own writer
// without its checks, so that invalid models and other headers reach the reader too.
namespace torv_package::testing {

struct Header {
  std::uint32_t schema_version = supported_schema_version;
  std::optional<std::string> target = std::string(supported_target);  // nothing: absent
  std::uint32_t tile_memory_base = torv_package::tile_memory_base;
  std::uint32_t tile_memory_size = torv_package::tile_memory_size;
};

// Fills `root` from `app` with `header`; every text is written byte for byte, valid UTF-8
// or not.
void write_application(const Application& app, schema::Application::Builder root,
                       const Header& header = {});

// The message in the standard stream framing.
std::string to_bytes(capnp::MessageBuilder& message);
std::string serialize(const Application& app, const Header& header = {});

// Reads `bytes` through Application::read from an in-memory stream.
Result<Application> read_bytes(std::string_view bytes);

// A serialized message whose words can be edited in place; each edit names what it
// changes so that a failing test says which word it broke.
class MessageBytes {
 public:
  explicit MessageBytes(std::string bytes) : bytes_(std::move(bytes)) {}

  // Words are counted from the start of the file, segment table included.
  std::uint64_t word(std::size_t index) const;
  void set_word(std::size_t index, std::uint64_t value, std::string_view what);
  // Index of the first word of segment 0 (just after the segment table).
  std::size_t segment0_start() const;
  // Index of the pointer slot `slot` of the root struct.
  std::size_t root_pointer(std::size_t slot) const;

  const std::string& bytes() const { return bytes_; }
  std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

}  // namespace torv_package::testing
