#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// A small diagnostic event facade. The library emits events; a program that wants them
// registers a Sink. Without a sink, emitting costs one atomic load and the event's field
// values are never computed.
namespace torv_package::events {

enum class Level { Error, Warn, Info, Debug, Trace };

std::string_view level_name(Level level) noexcept;

struct Field {
  std::string_view name;
  // Unsigned numbers are recorded as such; everything else as display text.
  std::variant<std::uint64_t, std::string> value;

  friend bool operator==(const Field&, const Field&) = default;
};

struct Event {
  Level level;
  std::string_view target;       // "torv_package"
  std::string_view module_path;  // "torv_package"
  std::string_view name;         // "event <file>:<line>"
  std::string_view file;
  std::uint32_t line;
  std::string_view message;
  std::vector<Field> fields;
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Asked before an event is built; false drops it at no further cost.
  virtual bool enabled(Level level, std::string_view target) const noexcept = 0;
  virtual void record(const Event& event) = 0;
};

// Registers `sink` (not owned; it must outlive its registration) and returns the one it
// replaces. Null unregisters.
Sink* set_sink(Sink* sink) noexcept;

namespace detail {
extern std::atomic<Sink*> current_sink;
void dispatch(Sink& sink, Level level, std::string_view module_path, std::string_view file,
              std::uint32_t line, std::string_view message, std::vector<Field> fields) noexcept;
}  // namespace detail

inline constexpr std::string_view library_target = "torv_package";

// Emits an event from the library. `make_fields` runs only when a sink wants the event.
// Never throws and never fails.
template <class MakeFields>
void emit(Level level, std::string_view file, std::uint32_t line, std::string_view message,
          MakeFields&& make_fields) noexcept {
  Sink* sink = detail::current_sink.load(std::memory_order_acquire);
  if (sink == nullptr) return;
  try {
    if (!sink->enabled(level, library_target)) return;
    detail::dispatch(*sink, level, library_target, file, line, message,
                     std::forward<MakeFields>(make_fields)());
  } catch (...) {
    // An event is fire-and-forget: a sink or a field that fails drops the event.
  }
}

}  // namespace torv_package::events

#define TORV_EVENT(level, message, ...)                                                   \
  ::torv_package::events::emit((level), __FILE__, __LINE__, (message),                    \
                               [&]() -> std::vector<::torv_package::events::Field> {      \
                                 return {__VA_ARGS__};                                    \
                               })
