#include "torv_package/error.hpp"

#include <new>
#include <utility>

#include <fmt/format.h>
#include <utf8proc.h>

#include "utf8.hpp"

namespace torv_package {

PackageError::CapnpBox& PackageError::CapnpBox::operator=(const CapnpBox& other) noexcept {
  if (this != &other) {
    exception_.~Exception();
    new (&exception_) kj::Exception(other.exception_);
  }
  return *this;
}

PackageError::CapnpBox& PackageError::CapnpBox::operator=(CapnpBox&& other) noexcept {
  if (this != &other) {
    exception_.~Exception();
    new (&exception_) kj::Exception(kj::mv(other.exception_));
  }
  return *this;
}

PackageError::PackageError(kj::Exception exception) noexcept
    : payload_(std::in_place_type<CapnpBox>, kj::mv(exception)) {}
PackageError::PackageError(std::error_code io) noexcept : payload_(io) {}
PackageError::PackageError(Utf8Error utf8) noexcept : payload_(utf8) {}
PackageError::PackageError(NotInSchema not_in_schema) noexcept : payload_(not_in_schema) {}
PackageError::PackageError(std::error_code io, std::string_view action) noexcept
    : payload_(io), io_action_(action) {}
PackageError::PackageError(Invalid invalid) noexcept : payload_(std::move(invalid)) {}

PackageError PackageError::not_a_package(kj::Exception exception) noexcept {
  PackageError error(kj::mv(exception));
  error.not_a_package_ = true;
  return error;
}

PackageError PackageError::invalid(std::string message) {
  return PackageError(Invalid{std::move(message)});
}

PackageError PackageError::at(std::string location) && {
  location_ = std::move(location);
  return std::move(*this);
}

bool operator==(const PackageError& a, const PackageError& b) {
  return a.kind() == b.kind() && a.location() == b.location() &&
         a.debug_string() == b.debug_string();
}

ErrorKind PackageError::kind() const noexcept { return static_cast<ErrorKind>(payload_.index()); }

const kj::Exception* PackageError::capnp() const noexcept {
  const auto* box = std::get_if<CapnpBox>(&payload_);
  return box ? &box->get() : nullptr;
}
const std::error_code* PackageError::io() const noexcept {
  return std::get_if<std::error_code>(&payload_);
}
const Utf8Error* PackageError::utf8() const noexcept { return std::get_if<Utf8Error>(&payload_); }
const NotInSchema* PackageError::schema_enum() const noexcept {
  return std::get_if<NotInSchema>(&payload_);
}
const std::string* PackageError::invalid_message() const noexcept {
  const auto* invalid = std::get_if<Invalid>(&payload_);
  return invalid ? &invalid->message : nullptr;
}

namespace {

std::string_view exception_kind_name(kj::Exception::Type type) {
  switch (type) {
    case kj::Exception::Type::FAILED: return "Failed";
    case kj::Exception::Type::OVERLOADED: return "Overloaded";
    case kj::Exception::Type::DISCONNECTED: return "Disconnected";
    case kj::Exception::Type::UNIMPLEMENTED: return "Unimplemented";
  }
  return "Failed";
}

std::string utf8_error_debug(const Utf8Error& error) {
  if (error.error_len) {
    return fmt::format("Utf8Error {{ valid_up_to: {}, error_len: Some({}) }}", error.valid_up_to,
                       *error.error_len);
  }
  return fmt::format("Utf8Error {{ valid_up_to: {}, error_len: None }}", error.valid_up_to);
}

// Characters that would not show as themselves: controls, format characters, surrogates,
// private use, unassigned code points, separators other than the plain space, and marks
// that combine with the character before them. Unicode's data comes from utf8proc; its
// grapheme class Extend is Grapheme_Extend plus the emoji skin-tone modifiers, which do
// print.
bool is_printable(char32_t c) {
  const auto code_point = static_cast<utf8proc_int32_t>(c);
  switch (utf8proc_category(code_point)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return false;
    case UTF8PROC_CATEGORY_ZS:
      return c == ' ';
    default:
      break;
  }
  const bool emoji_modifier = c >= 0x1f3fb && c <= 0x1f3ff;
  return utf8proc_get_property(code_point)->boundclass != UTF8PROC_BOUNDCLASS_EXTEND ||
         emoji_modifier;
}

}  // namespace

std::string quote_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto decoded = decode_utf8_char(text.substr(i));
    if (!decoded) {
      out += fmt::format("\\x{{{:x}}}", static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    const char32_t c = decoded->code_point;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_printable(c)) {
          out.append(text.substr(i, decoded->length));
        } else {
          out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        }
    }
    i += decoded->length;
  }
  out.push_back('"');
  return out;
}

std::string PackageError::debug_string() const {
  struct Visitor {
    std::string operator()(const CapnpBox& box) const {
      const kj::Exception& e = box.get();
      return fmt::format("Capnp(Exception {{ kind: {}, description: {} }})",
                         exception_kind_name(e.getType()),
                         quote_escaped(std::string_view(e.getDescription().cStr(),
                                                        e.getDescription().size())));
    }
    std::string operator()(const std::error_code& io) const {
      return fmt::format("Io(Os {{ code: {}, message: {} }})", io.value(),
                         quote_escaped(io.message()));
    }
    std::string operator()(const Utf8Error& utf8) const {
      return fmt::format("Utf8({})", utf8_error_debug(utf8));
    }
    std::string operator()(const NotInSchema& e) const {
      return fmt::format("SchemaEnum(NotInSchema({}))", e.value);
    }
    std::string operator()(const Invalid& invalid) const {
      return fmt::format("Invalid({})", quote_escaped(invalid.message));
    }
  };
  return std::visit(Visitor{}, payload_);
}

std::string PackageError::message() const {
  struct Visitor {
    const PackageError& error;
    std::string operator()(const CapnpBox& box) const {
      const kj::StringPtr description = box.get().getDescription();
      std::string text = description.size() == 0 ? std::string("malformed package message")
                                                  : std::string(description.cStr(), description.size());
      return error.not_a_package_ ? "not a package: " + text : text;
    }
    std::string operator()(const std::error_code& io) const {
      if (error.io_action_.empty()) return io.message();
      return fmt::format("cannot {}: {}", error.io_action_, io.message());
    }
    std::string operator()(const Utf8Error& utf8) const {
      return fmt::format("text is not valid UTF-8 after {} {}", utf8.valid_up_to,
                         utf8.valid_up_to == 1 ? "byte" : "bytes");
    }
    std::string operator()(const NotInSchema& e) const {
      if (e.enum_name.empty()) return fmt::format("{} is not a value of its enum", e.value);
      return fmt::format("{} is not a {}", e.value, e.enum_name);
    }
    std::string operator()(const Invalid& invalid) const { return invalid.message; }
  };
  return std::visit(Visitor{*this}, payload_);
}

namespace {

class FolderSyncCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "torv_package.folder_sync"; }
  std::string message(int code) const override {
    return "package written, but its folder could not be synced: " + std::generic_category().message(code);
  }
  std::error_condition default_error_condition(int code) const noexcept override {
    return std::error_condition(code, std::generic_category());
  }
};

}  // namespace

const std::error_category& folder_sync_category() noexcept {
  static const FolderSyncCategory category;
  return category;
}

std::ostream& operator<<(std::ostream& out, const PackageError& error) {
  return out << error.debug_string();
}

}  // namespace torv_package
