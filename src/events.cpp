#include "torv_package/events.hpp"

#include <fmt/format.h>

namespace torv_package::events {

namespace detail {
std::atomic<Sink*> current_sink{nullptr};

void dispatch(Sink& sink, Level level, std::string_view module_path, std::string_view file,
              std::uint32_t line, std::string_view message, std::vector<Field> fields) noexcept {
  try {
    const std::string name = fmt::format("event {}:{}", file, line);
    const Event event{level, library_target, module_path, name, file, line, message,
                      std::move(fields)};
    sink.record(event);
  } catch (...) {
    // Dropped: emitting an event never fails.
  }
}
}  // namespace detail

Sink* set_sink(Sink* sink) noexcept {
  return detail::current_sink.exchange(sink, std::memory_order_acq_rel);
}

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "INFO";
}

}  // namespace torv_package::events
