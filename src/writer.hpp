#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include <capnp/message.h>

#include "application.capnp.h"
#include "data_elsewhere.hpp"
#include "framing.hpp"
#include "torv_package/application.hpp"

namespace torv_package {

// Words of the one segment that write_model and write_header fill for `app`, root
// pointer included, so that a builder given this first segment holds the whole message.
std::uint64_t message_words(const Application& app, const DataElsewhere& data = {}) noexcept;

// Room left in a message for segment data that is written straight from the model.
struct DataHole {
  const kj::byte* at;                  // inside the message's segment
  kj::ArrayPtr<const kj::byte> bytes;  // the model's bytes that belong there
};

// Fills every model field of `root` from `app`, as stored: texts byte for byte (valid
// UTF-8 or not), enums by their numbers, empty lists and texts as null pointers. Checks
// nothing; may throw kj::Exception from Cap'n Proto (a list beyond its encodable length).
// With `holes`, segment data is not copied: its room is left zero and listed there. A
// data member listed in `data` is written with the bytes given there.
void write_model(const Application& app, schema::Application::Builder root,
                 std::vector<DataHole>* holes = nullptr, const DataElsewhere& data = {});

// The header of the one supported package format.
void write_header(schema::Application::Builder root);

// Memory for a message being built: one zeroed segment of a size given in advance, and
// further segments only if that size fell short.
struct SegmentStore {
  explicit SegmentStore(std::size_t words) : first(words, WordBuffer::Zeroed::yes) {}
  WordBuffer first;
  bool first_used = false;
  std::vector<WordBuffer> more;
};

// A builder over a SegmentStore, which is destroyed after the builder. Unlike a builder
// given its first segment, it does not zero the segment again when it is destroyed.
class OneSegmentBuilder final : private SegmentStore, public capnp::MessageBuilder {
 public:
  explicit OneSegmentBuilder(std::size_t words) : SegmentStore(words) {}
  kj::ArrayPtr<capnp::word> allocateSegment(unsigned minimum_words) override;
};

// A package ready to be written: its structure, and the data the model still holds.
struct BuiltMessage {
  std::unique_ptr<OneSegmentBuilder> builder;
  std::vector<DataHole> holes;

  // Writes the message in the standard framing; the model's data goes to `output` as it
  // is, never copied here.
  void write_to(kj::OutputStream& output);
};

// The whole package as one message in one segment, once `app` has passed validation and
// every text and enum is one the reader accepts. `app` must outlive the result, and so
// must `data`'s bytes, which stand in for the data members it lists.
Result<BuiltMessage> build_message(const Application& app, const DataElsewhere& data = {});

// Replaces the file at `path` with `message` as write_file does; the data the message
// refers to must stay in place until it returns.
Result<void> write_built_file(BuiltMessage& message, const std::filesystem::path& path);

}  // namespace torv_package
