#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <capnp/serialize.h>

#include "framing.hpp"
#include "lookup.hpp"
#include "mapping.hpp"
#include "torv_package/view.hpp"

namespace torv_package {

// What a view reads from, and the reader over it. Kept on the heap, so that record views,
// which point into the reader's arena, survive a move of the PackageView.
struct PackageView::State {
  FileMapping mapping;                  // a mapped file
  WordBuffer buffer;                    // a stream's bytes, or a copy of unaligned memory
  std::shared_ptr<const void> owner;    // keeps caller memory alive
  std::vector<std::byte> owned;         // from_bytes(vector)
  const unsigned char* bytes = nullptr;  // what the view was given
  std::size_t size = 0;
  const capnp::word* message = nullptr;  // the message: at `bytes`, or a word-aligned copy
  std::size_t message_words = 0;
  ReadDetails details;
  bool framed = false;  // details are known
  // Reads with no traversal limit: the walk in `open` has checked every pointer under the
  // reader's limit, and a limit here would make a long-lived view fail once it had been
  // read through often enough.
  std::optional<capnp::FlatArrayMessageReader> reader;

  // The lookups' index, sorted on the first lookup. Incomplete when that failed for want
  // of memory: lookups then scan.
  struct Index {
    std::vector<lookup::TileKey> tiles;
    std::vector<lookup::BindingKey> bindings;
    bool complete = false;
  };
  std::once_flag indexing;
  Index index;

  kj::ArrayPtr<const capnp::word> words() const {
    return {message, message_words};
  }
};

}  // namespace torv_package
