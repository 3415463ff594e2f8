#include "package_copy.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include <capnp/serialize.h>
#include <kj/debug.h>

#include "convert.hpp"
#include "path.hpp"

namespace torv_package {
namespace {

// A stretch of output shorter than this is written from memory even when the package
// file holds it: copying file to file costs tens of microseconds a call.
constexpr std::size_t copied_run_bytes = std::size_t{256} << 10;

// Package bytes written from memory between two releases of their pages: few system
// calls, little of the file resident.
constexpr std::size_t released_bytes = std::size_t{8} << 20;

// Pages of the package file walked past are given back in steps this large: each release
// stops the thread that copies, on another processor, to flush its address translations,
// and the package is resident in the page cache either way.
constexpr std::uintptr_t release_step = std::uintptr_t{32} << 20;

// Copies `bytes` of file `in` from `in_at` to file `out` at `out_at`; what it copied
// (less on a failure, then errno tells why).
std::uint64_t copy_range(int in, std::uint64_t in_at, int out, std::uint64_t out_at, std::uint64_t bytes) {
  auto in_offset = static_cast<off_t>(in_at);
  auto out_offset = static_cast<off_t>(out_at);
  std::uint64_t copied = 0;
  while (copied < bytes) {
    const ssize_t n = ::copy_file_range(in, &in_offset, out, &out_offset, bytes - copied, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the package file is shorter than it was
      break;
    }
    copied += static_cast<std::uint64_t>(n);
  }
  return copied;
}

// Writes a message's pieces to a file at their places, leaving alone what the file
// already holds (the early copy of the package, which it follows, comparing while the
// copy goes on) and copying from the package file what it holds at a fixed distance from
// the output's place. A piece of segment data lies in the package file; record bytes are
// compared with the package's at the current distance. Runs of pieces at one distance
// are copied file to file when long enough; the rest is written from memory.
class CopyingSink final : public kj::OutputStream {
 public:
  CopyingSink(int out, int in, const FileMapping& mapping, PackageCopy::Progress& early)
      : out_(out), in_(in), mapping_(mapping), release_(mapping.data(), release_step), early_(early) {}

  void write(const void* buffer, size_t size) override {
    const kj::ArrayPtr<const kj::byte> piece(static_cast<const kj::byte*>(buffer), size);
    write(kj::arrayPtr(&piece, 1));
  }

  void write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) override {
    for (const auto& piece : pieces) add(piece);
    end_run();
    flush();
  }

  // Output bytes so far.
  std::uint64_t size() const { return position_; }
  int error() const { return error_; }

 private:
  const kj::byte* file() const { return mapping_.data(); }
  bool in_file(kj::ArrayPtr<const kj::byte> piece) const {
    return file() != nullptr && piece.begin() >= file() && piece.end() <= file() + mapping_.size();
  }

  void add(kj::ArrayPtr<const kj::byte> piece) {
    if (piece.size() == 0) return;
    if (in_ >= 0 && in_file(piece)) {
      // Segment data: the run goes on if it lies where the run expects it.
      const std::uint64_t at = static_cast<std::uint64_t>(piece.begin() - file());
      if (!run_ || at != position_ + shift_) {
        end_run();
        start_run(at);
      }
    } else if (equals_input(piece)) {
      if (!run_) start_run(position_ + shift_);
    } else {
      end_run();
    }
    if (run_) {
      run_pieces_.push_back(piece);
      run_bytes_ += piece.size();
    } else {
      pend(piece, position_);
      if (pending_file_bytes_ >= released_bytes) flush();
    }
    position_ += piece.size();
  }

  // Whether the package file holds `piece` where the current distance puts it.
  bool equals_input(kj::ArrayPtr<const kj::byte> piece) {
    if (in_ < 0) return false;
    const std::uint64_t at = position_ + shift_;
    if (at > mapping_.size() || piece.size() > mapping_.size() - at) return false;
    const bool equal = std::memcmp(file() + at, piece.begin(), piece.size()) == 0;
    release_.passed(file() + at + piece.size());
    return equal;
  }

  void start_run(std::uint64_t at) {
    flush();
    run_ = true;
    run_start_ = at;
    run_output_ = position_;
    run_bytes_ = 0;
    shift_ = at - position_;  // modulo 2^64, as is every sum with it
  }

  void end_run() {
    if (!run_) return;
    run_ = false;
    const std::uint64_t run_end = run_output_ + run_bytes_;
    const bool in_place = shift_ == 0 && run_end <= early_.wait_for(run_end);
    if (in_place || (run_bytes_ >= copied_run_bytes && copy(run_start_, run_output_, run_bytes_))) {
      run_pieces_.clear();
      return;
    }
    std::uint64_t at = run_output_;
    for (const auto& piece : run_pieces_) {
      pend(piece, at);
      at += piece.size();
    }
    run_pieces_.clear();
    if (pending_file_bytes_ >= released_bytes) flush();
  }

  // False, having copied nothing, where the kernel cannot copy between these files: the
  // run is written then, and so is everything after it.
  bool copy(std::uint64_t at, std::uint64_t output_at, std::uint64_t bytes) {
    early_.wait_for(output_at + bytes);
    const std::uint64_t copied = copy_range(in_, at, out_, output_at, bytes);
    if (copied == bytes) return true;
    if (copied == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      in_ = -1;
      return false;
    }
    fail(errno);
  }

  // Adds `piece`, whose place in the output is `at`, to the pieces to write.
  void pend(kj::ArrayPtr<const kj::byte> piece, std::uint64_t at) {
    if (pending_.empty()) pending_output_ = at;
    pending_.push_back(iovec{const_cast<kj::byte*>(piece.begin()), piece.size()});
    pending_bytes_ += piece.size();
    if (in_file(piece)) {
      pending_file_bytes_ += piece.size();
      last_file_end_ = std::max(last_file_end_, piece.end());
    }
  }

  // Writes the pending pieces at their place, and gives back the package file's pages
  // that they read.
  void flush() {
    if (pending_.empty()) return;
    early_.wait_for(pending_output_ + pending_bytes_);
    std::size_t first = 0;
    while (first < pending_.size()) {
      const int count = static_cast<int>(std::min<std::size_t>(pending_.size() - first, IOV_MAX));
      const ssize_t n = ::pwritev(out_, pending_.data() + first, count, static_cast<off_t>(pending_output_));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail(n < 0 ? errno : EIO);
      pending_output_ += static_cast<std::uint64_t>(n);
      for (std::size_t left = static_cast<std::size_t>(n); left > 0;) {
        iovec& piece = pending_[first];
        const std::size_t done = std::min(left, piece.iov_len);
        piece.iov_base = static_cast<kj::byte*>(piece.iov_base) + done;
        piece.iov_len -= done;
        left -= done;
        if (piece.iov_len == 0) ++first;
      }
    }
    if (pending_file_bytes_ != 0) release_.passed(last_file_end_);
    pending_.clear();
    pending_bytes_ = 0;
    pending_file_bytes_ = 0;
  }

  [[noreturn]] void fail(int error) {
    error_ = error;
    kj::throwFatalException(KJ_EXCEPTION(FAILED, "write failed"));
  }

  int out_;
  int in_;  // the package file, or -1 once it cannot be copied from
  const FileMapping& mapping_;
  PageRelease release_;
  PackageCopy::Progress& early_;
  std::uint64_t position_ = 0;  // output bytes added so far
  std::uint64_t shift_ = 0;     // the package file's offset of output byte 0, modulo 2^64
  bool run_ = false;
  std::uint64_t run_start_ = 0;
  std::uint64_t run_output_ = 0;
  std::uint64_t run_bytes_ = 0;
  std::vector<kj::ArrayPtr<const kj::byte>> run_pieces_;
  std::vector<iovec> pending_;
  std::uint64_t pending_output_ = 0;
  std::uint64_t pending_bytes_ = 0;
  std::uint64_t pending_file_bytes_ = 0;
  const kj::byte* last_file_end_ = nullptr;
  int error_ = 0;
};

}  // namespace

void PackageCopy::Progress::start(std::uint64_t bytes) {
  const std::lock_guard lock(mutex_);
  target_ = bytes;
  running_ = true;
}

bool PackageCopy::Progress::advance(std::uint64_t copied) {
  bool wanted = true;
  {
    const std::lock_guard lock(mutex_);
    copied_ = copied;
    wanted = !cancelled_;
    running_ = wanted;
  }
  changed_.notify_all();
  return wanted;
}

void PackageCopy::Progress::stop() {
  {
    const std::lock_guard lock(mutex_);
    running_ = false;
  }
  changed_.notify_all();
}

void PackageCopy::Progress::cancel() {
  const std::lock_guard lock(mutex_);
  cancelled_ = true;
}

std::uint64_t PackageCopy::Progress::wait_for(std::uint64_t end) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !running_ || copied_ >= std::min(end, target_); });
  return copied_;
}

PackageCopy::~PackageCopy() {
  progress_.cancel();  // a package refused: what was copied is removed with the output
  finish_copy();
  if (file_ >= 0) ::close(file_);
}

void PackageCopy::start_copy(int output, std::uint64_t bytes, std::uint64_t part) {
  // A descriptor of its own: the copy never writes to one closed under it and reused.
  const int out = ::fcntl(output, F_DUPFD_CLOEXEC, 0);
  if (out < 0) return;
  progress_.start(bytes);
  try {
    copier_.emplace([this, out, bytes, part] {
      for (std::uint64_t copied = 0; copied < bytes;) {
        const std::uint64_t wanted = std::min(part, bytes - copied);
        const std::uint64_t done = copy_range(file_, copied, out, copied, wanted);
        copied += done;
        if (!progress_.advance(copied) || done != wanted) break;
      }
      ::close(out);
      progress_.stop();
    });
  } catch (const std::system_error&) {
    ::close(out);  // no thread to be had: write() copies what it can itself
    progress_.stop();
  }
}

void PackageCopy::finish_copy() {
  if (copier_) {
    copier_->join();
    copier_.reset();
  }
}

Result<std::unique_ptr<PackageCopy>> PackageCopy::read_file(const std::filesystem::path& path, int output,
                                                             std::uint64_t copy_part) {
  int fd = -1;
  auto opened = open_package_file(path, &fd);
  if (!opened) return std::unexpected(std::move(opened).error());
  std::unique_ptr<PackageCopy> copy(new (std::nothrow) PackageCopy());
  if (copy == nullptr) {
    if (fd >= 0) ::close(fd);
  } else {
    copy->file_ = fd;
  }
  Path where;  // empty during framing: framing errors have no location
  Result<void> read = guarded(where, [&]() -> Result<void> {
    if (copy == nullptr) throw std::bad_alloc();
    const capnp::word* words = nullptr;
    std::size_t word_count = 0;
    std::optional<PageRelease> release;
    if (auto* mapping = std::get_if<FileMapping>(&*opened)) {
      copy->mapping_ = std::move(*mapping);
      word_count = framed_message_words(copy->mapping_.data(), copy->mapping_.size());
      words = reinterpret_cast<const capnp::word*>(copy->mapping_.data());
      release.emplace(copy->mapping_.data(), release_step);
      if (output >= 0) {
        copy->start_copy(output, std::uint64_t{word_count} * sizeof(capnp::word), std::max<std::uint64_t>(copy_part, 1));
      }
    } else {
      auto& stream = std::get<kj::Own<kj::InputStream>>(*opened);
      copy->buffer_ = read_framed_message(*stream);
      stream = nullptr;  // closed here, where a failure to close is an error too
      word_count = copy->buffer_.size();
      words = copy->buffer_.data();
    }
    capnp::FlatArrayMessageReader message({words, word_count}, limited_reader_options(word_count));
    // Records are walked and copied as a read copies them; the data they pass is read by
    // nobody until it is written, so the pages walked past are given back at once.
    Converter converter(std::uint64_t{word_count} * sizeof(capnp::word), where, release ? &*release : nullptr);
    converter.leave_data_in(copy->data);
    return converter.convert(message.getRoot<schema::Application>(), &copy->model);
  });
  if (!read) return std::unexpected(std::move(read).error());
  return copy;
}

Result<void> PackageCopy::write(BuiltMessage& message, int output) {
  CopyingSink sink(output, file_, mapping_, progress_);
  try {
    message.write_to(sink);
    // Everything the message needs from the early copy is in place: the rest is not.
    progress_.cancel();
    finish_copy();
    // The early copy may have written more than the message holds.
    if (::ftruncate(output, static_cast<off_t>(sink.size())) != 0) {
      return std::unexpected(PackageError(std::error_code(errno, std::generic_category()), "write"));
    }
  } catch (kj::Exception& exception) {
    if (sink.error() != 0) {
      return std::unexpected(PackageError(std::error_code(sink.error(), std::generic_category()), "write"));
    }
    return std::unexpected(PackageError(kj::mv(exception)));
  }
  return {};
}

}  // namespace torv_package
