#pragma once

#include <cstddef>
#include <cstdint>

#include <capnp/common.h>
#include <kj/io.h>

namespace torv_package {

// Owned, word-aligned memory for one framed message, read or about to be written. Large buffers are mapped anonymous
// memory advised for transparent huge pages: on the machines packages are read on, page
// faults on fresh memory cost more than the read itself.
class WordBuffer {
 public:
  enum class Zeroed { no, yes };

  WordBuffer() = default;
  explicit WordBuffer(std::size_t words, Zeroed zeroed = Zeroed::no);
  WordBuffer(WordBuffer&& other) noexcept;
  WordBuffer& operator=(WordBuffer&& other) noexcept;
  WordBuffer(const WordBuffer&) = delete;
  WordBuffer& operator=(const WordBuffer&) = delete;
  ~WordBuffer();

  // Grows to `words`, keeping the contents.
  void resize(std::size_t words);

  capnp::word* data() noexcept { return data_; }
  const capnp::word* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return words_; }
  kj::ArrayPtr<const capnp::word> words() const noexcept { return {data_, words_}; }

 private:
  void release() noexcept;

  capnp::word* data_ = nullptr;
  std::size_t words_ = 0;
  bool mapped_ = false;
};

// Thrown by framing that shows the bytes are no package at all (an empty file, a segment
// table no writer makes), rather than a package cut short or damaged inside.
struct NotAPackage {
  kj::Exception exception;
};

// The library's bound on the number of segments of one message.
inline constexpr std::size_t max_segments = 512;

// A read from a file descriptor failed after the file was opened (a folder, an I/O error):
// an operating-system error, not a fault of the package.
struct StreamReadError {
  int error;
};

// Reads exactly one framed message (segment table and segments) from `input` into memory,
// consuming nothing after it. Memory grows only with bytes actually read, or, for a regular
// file, after its size has shown that the claimed bytes are there. Throws NotAPackage on a
// table no writer makes, kj::Exception on a premature end or a failing stream, and
// StreamReadError when the stream is a file descriptor whose read fails.
WordBuffer read_framed_message(kj::InputStream& input);

// Checks the framing of the message at the start of `bytes` as read_framed_message checks
// a stream holding those bytes, with the same refusals, and gives its length in words
// (segment table included). Throws kj::Exception, or NotAPackage.
std::size_t framed_message_words(const unsigned char* bytes, std::size_t size);

struct RemainingBytes {
  std::uint64_t count = 0;
  bool exact = true;
};

// How many bytes `input` still holds: from the file's size for a regular file; else as
// many as are ready without waiting, at most `limit` (then not exact). Never throws: a
// stream that fails here has still given its message.
RemainingBytes count_remaining_bytes(kj::InputStream& input, std::uint64_t limit) noexcept;

}  // namespace torv_package
