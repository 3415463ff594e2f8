#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "torv_package/error.hpp"

namespace torv_package {

// Strict UTF-8 check: no surrogates, no overlong forms, nothing above U+10FFFF.
// Returns the error for the first invalid or unfinished sequence, or nothing.
std::optional<Utf8Error> check_utf8(std::string_view text) noexcept;

struct DecodedChar {
  char32_t code_point;
  std::size_t length;
};

// Decodes the character at the start of `text`; nothing when `text` is empty or does not
// start with a valid sequence.
std::optional<DecodedChar> decode_utf8_char(std::string_view text) noexcept;

}  // namespace torv_package
