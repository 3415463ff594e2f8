#include "framing.hpp"

#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include <kj/exception.h>
#include <kj/string.h>

namespace torv_package {
namespace {

constexpr std::size_t word_bytes = sizeof(capnp::word);
// Below this size plain heap memory is cheaper than a mapping (and stays visible to
// address sanitizers).
constexpr std::size_t map_threshold_bytes = std::size_t{1} << 20;
// First chunk when the stream's length is unknown; later chunks double.
constexpr std::size_t initial_chunk_words = std::size_t{1} << 13;

// Framing refusals are written as sentences that carry their numbers.
template <class... Params>
[[noreturn]] void refuse(Params&&... params) {
  kj::throwFatalException(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                        kj::str(std::forward<Params>(params)...)));
}

// The same for framing that no writer makes: the bytes are no package at all.
template <class... Params>
[[noreturn]] void refuse_foreign(Params&&... params) {
  throw NotAPackage{kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                  kj::str(std::forward<Params>(params)...))};
}

void* map_words(std::size_t bytes, bool huge_pages) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) refuse("cannot allocate ", bytes, " bytes for the message");
  if (huge_pages) madvise(p, bytes, MADV_HUGEPAGE);  // advisory; a refusal changes nothing but speed
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

// Reads at least `min_bytes` (unless the input ends first) and at most `max_bytes`. Reads
// of a file descriptor are made here, so that their error numbers are kept.
std::size_t read_some(kj::InputStream& input, void* buffer, std::size_t min_bytes, std::size_t max_bytes) {
  const auto* fd_stream = dynamic_cast<kj::FdInputStream*>(&input);
  if (fd_stream == nullptr) return input.tryRead(buffer, min_bytes, max_bytes);
  auto* at = static_cast<kj::byte*>(buffer);
  std::size_t got = 0;
  while (got < min_bytes) {
    const ssize_t n = ::read(fd_stream->getFd(), at + got, max_bytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw StreamReadError{errno};
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

WordBuffer::WordBuffer(std::size_t words, Zeroed zeroed) : words_(words) {
  const std::size_t bytes = words * word_bytes;
  if (bytes >= map_threshold_bytes) {
    // Fresh mappings read as zero. A message to be written keeps small pages: most of it
    // is room for data that is never touched, and a huge page would be cleared whole.
    data_ = static_cast<capnp::word*>(map_words(bytes, zeroed == Zeroed::no));
    mapped_ = true;
  } else {
    const std::size_t size = std::max<std::size_t>(bytes, word_bytes);
    data_ = static_cast<capnp::word*>(zeroed == Zeroed::yes ? std::calloc(size, 1) : std::malloc(size));
    if (data_ == nullptr) refuse("cannot allocate ", bytes, " bytes for the message");
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
    if (p == MAP_FAILED) refuse("cannot allocate ", words * word_bytes, " bytes for the message");
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
  if (const std::size_t got = read_some(input, first, sizeof(first), sizeof(first)); got < sizeof(first)) {
    if (got == 0) refuse_foreign("package file is empty");
    refuse_foreign("segment table is cut short: ", got, " of ", sizeof(first), " bytes");
  }
  const std::uint64_t segment_count = std::uint64_t{first[0]} + 1;
  if (segment_count >= max_segments) {
    refuse_foreign("message has ", segment_count, " segments; at most ", max_segments - 1, " are allowed");
  }

  // The table holds a count and one size per segment, padded to a whole word.
  const std::size_t table_words = (segment_count + 2) / 2;
  std::uint32_t table[max_segments + 1];
  table[0] = first[0];
  table[1] = first[1];
  if (table_words > 1) {
    const std::size_t rest = table_words * word_bytes - sizeof(first);
    if (const std::size_t got = read_some(input, table + 2, rest, rest); got < rest) {
      refuse_foreign("segment table is cut short: ", sizeof(first) + got, " of ", table_words * word_bytes, " bytes");
    }
  }
  // Without a first segment there is no root pointer to read.
  if (table[1] == 0) refuse_foreign("message has no root");

  std::uint64_t segment_words = 0;  // at most 511 * (2^32 - 1): cannot overflow
  for (std::uint64_t i = 0; i < segment_count; ++i) segment_words += table[1 + i];
  const std::uint64_t total_words = table_words + segment_words;
  if (total_words > SIZE_MAX / word_bytes) {
    refuse_foreign("message claims ", total_words, " words, more than this machine can address");
  }
  const auto too_short = [&](std::uint64_t available) {
    refuse("segment table claims ", segment_words * word_bytes, " bytes of segments but only ",
           available, " follow it");
  };

  const std::optional<std::uint64_t> remaining = known_remaining_bytes(input);
  if (remaining) {
    if (segment_words * word_bytes > *remaining) too_short(*remaining);
    WordBuffer buffer(total_words);
    std::memcpy(buffer.data(), table, table_words * word_bytes);
    const std::size_t segment_bytes = segment_words * word_bytes;
    if (segment_bytes != 0) {
      const std::size_t got = read_some(input, buffer.data() + table_words, segment_bytes, segment_bytes);
      if (got < segment_bytes) too_short(got);  // the file shrank since its size was taken
    }
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
    const std::size_t chunk_bytes = (buffer.size() - filled) * word_bytes;
    const std::size_t got = read_some(input, buffer.data() + filled, chunk_bytes, chunk_bytes);
    if (got < chunk_bytes) too_short((filled - table_words) * word_bytes + got);
    filled += chunk_bytes / word_bytes;
  }
  return buffer;
}

std::size_t framed_message_words(const unsigned char* bytes, std::size_t size) {
  std::uint32_t table[max_segments + 1];
  if (size < sizeof(std::uint32_t) * 2) {
    if (size == 0) refuse_foreign("package file is empty");
    refuse_foreign("segment table is cut short: ", size, " of ", sizeof(std::uint32_t) * 2, " bytes");
  }
  std::memcpy(table, bytes, sizeof(std::uint32_t) * 2);
  const std::uint64_t segment_count = std::uint64_t{table[0]} + 1;
  if (segment_count >= max_segments) {
    refuse_foreign("message has ", segment_count, " segments; at most ", max_segments - 1, " are allowed");
  }
  const std::size_t table_words = (segment_count + 2) / 2;
  if (size < table_words * word_bytes) {
    refuse_foreign("segment table is cut short: ", size, " of ", table_words * word_bytes, " bytes");
  }
  std::memcpy(table, bytes, table_words * word_bytes);
  if (table[1] == 0) refuse_foreign("message has no root");
  std::uint64_t segment_words = 0;  // at most 511 * (2^32 - 1): cannot overflow
  for (std::uint64_t i = 0; i < segment_count; ++i) segment_words += table[1 + i];
  const std::uint64_t available = size - table_words * word_bytes;
  if (segment_words * word_bytes > available) {
    refuse("segment table claims ", segment_words * word_bytes, " bytes of segments but only ",
           available, " follow it");
  }
  return table_words + segment_words;
}

RemainingBytes count_remaining_bytes(kj::InputStream& input, std::uint64_t limit) noexcept {
  try {
    if (const auto remaining = known_remaining_bytes(input)) return {*remaining, true};
    const auto* fd_stream = dynamic_cast<kj::FdInputStream*>(&input);
    RemainingBytes seen;
    kj::byte scratch[1 << 16];
    while (seen.count < limit) {
      if (fd_stream != nullptr) {
        // A pipe whose writer is still there must not hold the reader up.
        pollfd ready{fd_stream->getFd(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, 0);
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return {seen.count, false};
      }
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof(scratch), limit - seen.count));
      const std::size_t got = read_some(input, scratch, 1, want);
      if (got == 0) return seen;
      seen.count += got;
    }
    seen.exact = false;
    return seen;
  } catch (...) {
    return {0, false};
  }
}

}  // namespace torv_package
