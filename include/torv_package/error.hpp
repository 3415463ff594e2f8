#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include <fmt/format.h>
#include <kj/exception.h>

namespace torv_package {

// Text that is not valid UTF-8: how many leading bytes were valid, and the length of
// the invalid sequence that follows them (absent when the text ends inside a sequence).
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::uint8_t> error_len;

  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// A stored enum value that names no enumerant of its enum.
struct NotInSchema {
  constexpr NotInSchema() noexcept = default;
  constexpr NotInSchema(std::uint16_t raw, std::string_view name = {}) noexcept : value(raw), enum_name(name) {}

  std::uint16_t value = 0;
  // The enum's name in the schema ("ProfileStepKind"), for the display form; empty when
  // not known. Text of static storage. Not part of the debug form.
  std::string_view enum_name;

  friend bool operator==(const NotInSchema&, const NotInSchema&) = default;
};

enum class ErrorKind { Capnp, Io, Utf8, SchemaEnum, Invalid };

// The library's one error type. It owns its payload; each foreign error kind has
// exactly one converting constructor, and the library's own refusals come from
// `invalid`.
class PackageError {
 public:
  PackageError(kj::Exception exception) noexcept;
  PackageError(std::error_code io) noexcept;
  PackageError(Utf8Error utf8) noexcept;
  PackageError(NotInSchema not_in_schema) noexcept;
  // An operating-system error met while trying to `action` ("open", "read", "write"; text
  // of static storage), which the display form names: "cannot open: No such file or
  // directory".
  PackageError(std::error_code io, std::string_view action) noexcept;

  static PackageError invalid(std::string message);
  // A Cap'n Proto error from framing that shows the bytes are no package at all (an empty
  // file, a segment table no writer makes): the display form says so.
  static PackageError not_a_package(kj::Exception exception) noexcept;

  ErrorKind kind() const noexcept;

  // Accessors for the payload; each returns null when the error is of another kind.
  const kj::Exception* capnp() const noexcept;
  const std::error_code* io() const noexcept;
  const Utf8Error* utf8() const noexcept;
  const NotInSchema* schema_enum() const noexcept;
  const std::string* invalid_message() const noexcept;

  // The place in the model the error concerns, in the model's member names with list
  // positions counted from 0: "tiles[1].segments[2]", "host_exchange.calls[0].name",
  // "target". Empty when there is none (framing errors, for one). Never part of the
  // debug form.
  std::string_view location() const noexcept { return location_; }

  // This error, placed at `location`.
  PackageError at(std::string location) &&;

  // What failed, for an Io error ("open", "read"); empty when not known.
  std::string_view io_action() const noexcept { return io_action_; }

  // Whether framing showed the bytes are no package at all.
  bool is_not_a_package() const noexcept { return not_a_package_; }

  // The display form: one sentence for people, without the location, e.g. "application
  // has no tiles" (an Invalid error's message), "cannot open: No such file or directory",
  // "text is not valid UTF-8 after 3 bytes", "7 is not a ProfileStepKind", or a Capnp
  // error's description, after "not a package: " when framing showed it is none. Text
  // from the package is in it as it is; a terminal needs it escaped.
  std::string message() const;

  // The one printed form: the variant name with its payload's debug form in
  // parentheses, e.g. Invalid("application has no tiles").
  std::string debug_string() const;

 private:
  struct Invalid {
    std::string message;
  };
  // kj::Exception can be copied but not assigned; this keeps PackageError a regular
  // value type (copyable and assignable) without losing any part of the exception.
  class CapnpBox {
   public:
    explicit CapnpBox(kj::Exception exception) noexcept : exception_(kj::mv(exception)) {}
    CapnpBox(const CapnpBox&) noexcept = default;
    CapnpBox(CapnpBox&&) noexcept = default;
    CapnpBox& operator=(const CapnpBox& other) noexcept;
    CapnpBox& operator=(CapnpBox&& other) noexcept;
    ~CapnpBox() = default;
    const kj::Exception& get() const noexcept { return exception_; }

   private:
    kj::Exception exception_;
  };
  explicit PackageError(Invalid invalid) noexcept;

  std::variant<CapnpBox, std::error_code, Utf8Error, NotInSchema, Invalid> payload_;
  std::string location_;
  std::string_view io_action_;
  bool not_a_package_ = false;
};

// Errors are equal when their debug forms and their locations are.
bool operator==(const PackageError& a, const PackageError& b);

std::ostream& operator<<(std::ostream& out, const PackageError& error);

template <class T>
using Result = std::expected<T, PackageError>;

// The category of an `Io` error that write_file gives when the package is in place but
// syncing its folder failed, so the rename may not survive a crash. The code is the
// errno value, and the message reads "package written, but its folder could not be
// synced: <the errno's text>". Test for it with
// `error.io()->category() == folder_sync_category()`; codes still compare equal to the
// generic conditions (`*error.io() == std::errc::io_error`).
const std::error_category& folder_sync_category() noexcept;

// `text` as a double-quoted literal: \" \\ \t \r \n \0 escaped; other characters that
// do not print as themselves (general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs but the
// space, and combining marks) as \u{hex}; bytes that are not UTF-8 as \x{hex}.
std::string quote_escaped(std::string_view text);

}  // namespace torv_package

template <>
struct fmt::formatter<torv_package::PackageError> : fmt::formatter<std::string_view> {
  auto format(const torv_package::PackageError& error, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(error.debug_string(), ctx);
  }
};
