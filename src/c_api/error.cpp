// tp_error: a kind, an errno and three texts in one allocation; the out-of-memory error is
// static, so that reporting a failed allocation allocates nothing.
#include "c_api/error.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <fmt/format.h>

struct tp_error {
  enum tp_error_kind kind = TP_ERROR_NONE;
  int os_code = 0;
  const char* location = "";
  const char* message = "";
  const char* debug = "";
  char* text = nullptr;  // location, message and debug, each NUL-terminated, after the record; none when static
};

namespace torv_package::c_api {
namespace {

tp_error no_memory{TP_ERROR_NO_MEMORY, 0, "", "not enough memory", "NoMemory", nullptr};

tp_error* make(enum tp_error_kind kind, int os_code, std::string_view location, std::string_view message,
               std::string_view debug) noexcept {
  // One malloc'd block for the record and its texts: freed by free() alone, whichever
  // allocator the program that loaded the library has put in place of operator new.
  const std::size_t text_size = location.size() + message.size() + debug.size() + 3;
  void* block = std::malloc(sizeof(tp_error) + text_size);
  if (block == nullptr) return &no_memory;
  auto* error = new (block) tp_error{kind, os_code, "", "", "", nullptr};
  error->text = static_cast<char*>(block) + sizeof(tp_error);
  char* at = error->text;
  const auto put = [&](std::string_view part) {
    std::memcpy(at, part.data(), part.size());
    at[part.size()] = '\0';
    const char* start = at;
    at += part.size() + 1;
    return start;
  };
  error->location = put(location);
  error->message = put(message);
  error->debug = put(debug);
  return error;
}

enum tp_error_kind kind_of(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Capnp: return TP_ERROR_CAPNP;
    case ErrorKind::Io: return TP_ERROR_IO;
    case ErrorKind::Utf8: return TP_ERROR_UTF8;
    case ErrorKind::SchemaEnum: return TP_ERROR_SCHEMA_ENUM;
    case ErrorKind::Invalid: return TP_ERROR_INVALID;
  }
  return TP_ERROR_INTERNAL;
}

// The C API's own kinds, with a debug form shaped as the library's: Name("text").
tp_error* own(enum tp_error_kind kind, std::string_view name, std::string_view what) noexcept {
  try {
    return make(kind, 0, "", what, fmt::format("{}({})", name, quote_escaped(what)));
  } catch (...) {
    return &no_memory;
  }
}

}  // namespace

tp_error* error_from(const PackageError& error) noexcept {
  try {
    const int os_code = error.io() != nullptr ? error.io()->value() : 0;
    return make(kind_of(error.kind()), os_code, error.location(), error.message(), error.debug_string());
  } catch (...) {
    return &no_memory;
  }
}

tp_error* argument_error(std::string_view what) noexcept { return own(TP_ERROR_ARGUMENT, "Argument", what); }
tp_error* internal_error(std::string_view what) noexcept { return own(TP_ERROR_INTERNAL, "Internal", what); }
tp_error* no_memory_error() noexcept { return &no_memory; }

int fail(tp_error** out, tp_error* made) noexcept {
  if (out != nullptr) {
    *out = made;
  } else {
    tp_error_free(made);
  }
  return -1;
}

}  // namespace torv_package::c_api

extern "C" {

enum tp_error_kind tp_error_kind(const tp_error* error) { return error != nullptr ? error->kind : TP_ERROR_NONE; }
const char* tp_error_location(const tp_error* error) { return error != nullptr ? error->location : ""; }
const char* tp_error_message(const tp_error* error) { return error != nullptr ? error->message : ""; }
const char* tp_error_debug(const tp_error* error) { return error != nullptr ? error->debug : ""; }
int tp_error_os_code(const tp_error* error) { return error != nullptr ? error->os_code : 0; }

void tp_error_free(tp_error* error) {
  if (error == nullptr || error == torv_package::c_api::no_memory_error()) return;
  std::free(error);  // tp_error is trivially destructible
}

}  // extern "C"
