#include "budget.hpp"

#include <kj/exception.h>
#include <kj/string.h>

namespace torv_package {

MemoryBudget::MemoryBudget(std::uint64_t message_bytes) noexcept
    : message_bytes_(message_bytes),
      limit_(floor_bytes + halves_per_message_byte * message_bytes / 2) {}

void MemoryBudget::charge(std::uint64_t bytes) {
  // Every charge is below 2^40 (counts are at most 2^29, records a few hundred bytes), and
  // used_ never exceeds limit_, so neither sum can wrap.
  if (bytes > limit_ - used_) {
    kj::throwFatalException(kj::Exception(
        kj::Exception::Type::FAILED, __FILE__, __LINE__,
        kj::str("package would take more than ", limit_,
                " bytes of memory, the most a message of ", message_bytes_,
                " bytes may expand to (2.5 times its size plus 32 MiB)")));
  }
  used_ += bytes;
}

}  // namespace torv_package
