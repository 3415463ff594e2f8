#include "framing.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <kj/debug.h>

namespace torv_package {
namespace {

constexpr std::size_t word_bytes = sizeof(capnp::word);
// Below this size plain heap memory is cheaper than a mapping (and stays visible to
// address sanitizers).
constexpr std::size_t map_threshold_bytes = std::size_t{1} << 20;
// First chunk when the stream's length is unknown; later chunks double.
constexpr std::size_t initial_chunk_words = std::size_t{1} << 13;

void* map_words(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  KJ_REQUIRE(p != MAP_FAILED, "cannot allocate memory for the message", bytes);
  madvise(p, bytes, MADV_HUGEPAGE);  // advisory; a refusal changes nothing but speed
  return p;
}

// Bytes still to come on a regular file behind `input`, when that can be known.
std::optional<std::uint64_t> known_remaining_bytes(kj::InputStream& input) {
  const auto* fd_stream = dynamic_cast<kj::FdInputStream*>(&input);
  if (fd_stream == nullptr) return std::nullopt;
  struct stat st {};
  if (fstat(fd_stream->getFd(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const off_t position = lseek(fd_stream->getFd(), 0, SEEK_CUR);
  if (position < 0 || position > st.st_size) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size - position);
}

}  // namespace

WordBuffer::WordBuffer(std::size_t words) : words_(words) {
  const std::size_t bytes = words * word_bytes;
  if (bytes >= map_threshold_bytes) {
    data_ = static_cast<capnp::word*>(map_words(bytes));
    mapped_ = true;
  } else {
    data_ = static_cast<capnp::word*>(std::malloc(std::max<std::size_t>(bytes, word_bytes)));
    KJ_REQUIRE(data_ != nullptr, "cannot allocate memory for the message", bytes);
  }
}

WordBuffer::WordBuffer(WordBuffer&& other) noexcept
    : data_(other.data_), words_(other.words_), mapped_(other.mapped_) {
  other.data_ = nullptr;
  other.words_ = 0;
}

WordBuffer& WordBuffer::operator=(WordBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = other.data_;
    words_ = other.words_;
    mapped_ = other.mapped_;
    other.data_ = nullptr;
    other.words_ = 0;
  }
  return *this;
}

WordBuffer::~WordBuffer() { release(); }

void WordBuffer::release() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    munmap(data_, words_ * word_bytes);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
}

void WordBuffer::resize(std::size_t words) {
  if (words <= words_) return;
  if (mapped_) {
    void* p = mremap(data_, words_ * word_bytes, words * word_bytes, MREMAP_MAYMOVE);
    KJ_REQUIRE(p != MAP_FAILED, "cannot allocate memory for the message", words * word_bytes);
    madvise(p, words * word_bytes, MADV_HUGEPAGE);
    data_ = static_cast<capnp::word*>(p);
    words_ = words;
    return;
  }
  WordBuffer grown(words);
  if (words_ != 0) std::memcpy(grown.data_, data_, words_ * word_bytes);
  *this = std::move(grown);
}

WordBuffer read_framed_message(kj::InputStream& input) {
  // The first word holds the segment count minus one and the size of segment 0.
  std::uint32_t first[2];
  input.read(first, sizeof(first));
  const std::uint64_t segment_count = std::uint64_t{first[0]} + 1;
  KJ_REQUIRE(segment_count < max_segments, "message has too many segments", segment_count);

  // The table holds a count and one size per segment, padded to a whole word.
  const std::size_t table_words = (segment_count + 2) / 2;
  std::uint32_t table[max_segments + 1];
  table[0] = first[0];
  table[1] = first[1];
  if (table_words > 1) input.read(table + 2, table_words * word_bytes - sizeof(first));

  std::uint64_t segment_words = 0;  // at most 511 * (2^32 - 1): cannot overflow
  for (std::uint64_t i = 0; i < segment_count; ++i) segment_words += table[1 + i];
  const std::uint64_t total_words = table_words + segment_words;
  KJ_REQUIRE(total_words <= SIZE_MAX / word_bytes, "message is too large", total_words);

  const std::optional<std::uint64_t> remaining = known_remaining_bytes(input);
  if (remaining) {
    KJ_REQUIRE(segment_words * word_bytes <= *remaining,
               "Premature EOF: the segment table claims more bytes than the file holds",
               segment_words * word_bytes, *remaining);
    WordBuffer buffer(total_words);
    std::memcpy(buffer.data(), table, table_words * word_bytes);
    if (segment_words != 0) input.read(buffer.data() + table_words, segment_words * word_bytes);
    return buffer;
  }

  // Length unknown: read in doubling chunks so memory only follows bytes that arrived.
  WordBuffer buffer(std::min<std::uint64_t>(total_words, table_words + initial_chunk_words));
  std::memcpy(buffer.data(), table, table_words * word_bytes);
  std::size_t filled = table_words;
  while (filled < total_words) {
    if (filled == buffer.size()) {
      buffer.resize(std::min<std::uint64_t>(total_words, std::uint64_t{buffer.size()} * 2));
    }
    const std::size_t chunk = buffer.size() - filled;
    input.read(buffer.data() + filled, chunk * word_bytes);
    filled += chunk;
  }
  return buffer;
}

}  // namespace torv_package
