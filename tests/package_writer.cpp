#include "package_writer.hpp"

#include <cstring>
#include <stdexcept>

#include <capnp/serialize.h>
#include <kj/io.h>

#include "writer.hpp"

namespace torv_package::testing {

void write_application(const Application& app, schema::Application::Builder root,
                       const Header& header) {
  write_model(app, root);
  root.setSchemaVersion(header.schema_version);
  if (header.target) root.setTarget(capnp::Text::Reader(header.target->data(), header.target->size()));
  root.setTileMemoryBase(header.tile_memory_base);
  root.setTileMemorySize(header.tile_memory_size);
}

std::string to_bytes(capnp::MessageBuilder& message) {
  const kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return std::string(reinterpret_cast<const char*>(bytes.begin()), bytes.size());
}

std::string serialize(const Application& app, const Header& header) {
  capnp::MallocMessageBuilder message;
  write_application(app, message.initRoot<schema::Application>(), header);
  return to_bytes(message);
}

Result<Application> read_bytes(std::string_view bytes) {
  return Application::read(kj::heap<kj::ArrayInputStream>(
      kj::ArrayPtr<const kj::byte>(reinterpret_cast<const kj::byte*>(bytes.data()), bytes.size())));
}

std::uint64_t MessageBytes::word(std::size_t index) const {
  if ((index + 1) * 8 > bytes_.size()) throw std::out_of_range("word beyond the message");
  std::uint64_t value;
  std::memcpy(&value, bytes_.data() + index * 8, 8);
  return value;
}

void MessageBytes::set_word(std::size_t index, std::uint64_t value, std::string_view what) {
  if ((index + 1) * 8 > bytes_.size()) {
    throw std::out_of_range("cannot edit " + std::string(what) + ": word beyond the message");
  }
  std::memcpy(bytes_.data() + index * 8, &value, 8);
}

std::size_t MessageBytes::segment0_start() const {
  const auto count = static_cast<std::uint32_t>(word(0)) + std::size_t{1};
  return (count + 2) / 2;
}

std::size_t MessageBytes::root_pointer(std::size_t slot) const {
  const std::size_t start = segment0_start();
  const std::uint64_t root = word(start);
  // A struct pointer: offset in bits 2..31 (signed), data words in 32..47.
  const auto offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(root)) >> 2;
  const std::size_t data_words = (root >> 32) & 0xffff;
  return start + 1 + static_cast<std::size_t>(offset) + data_words + slot;
}

}  // namespace torv_package::testing
