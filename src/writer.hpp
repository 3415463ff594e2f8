#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <capnp/message.h>

#include "application.capnp.h"
#include "framing.hpp"
#include "torv_package/application.hpp"

namespace torv_package {

// Words of the one segment that write_model and write_header fill for `app`, root
// pointer included, so that a builder given this first segment holds the whole message.
std::uint64_t message_words(const Application& app) noexcept;

// Fills every model field of `root` from `app`, as stored: texts byte for byte (valid
// UTF-8 or not), enums by their numbers, empty lists and texts as null pointers. Checks
// nothing; may throw kj::Exception from Cap'n Proto (a list beyond its encodable length).
void write_model(const Application& app, schema::Application::Builder root);

// The header of the one supported package format.
void write_header(schema::Application::Builder root);

// Memory for a message being built: one zeroed segment of a size given in advance, large
// ones mapped in huge pages like the reader's (faulting in fresh memory would cost more
// than filling it), and further segments only if that size fell short.
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

// The whole package as one message in one segment, once `app` has passed validation and
// every text and enum is one the reader accepts.
Result<std::unique_ptr<OneSegmentBuilder>> build_message(const Application& app);

}  // namespace torv_package
