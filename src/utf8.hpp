#pragma once

#include <cstddef>
#include <optional>
#include <string>
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

// The longest text from a package that a message quotes whole. Names can be as long as a
// package is; a message holding one whole, escaped and copied on its way to a report,
// would cost many times the package.
inline constexpr std::size_t max_quoted_bytes = 1024;

// `text` as a message quotes it: whole up to max_quoted_bytes, else cut at a character
// boundary before that length and marked "...[N more bytes]".
std::string excerpt(std::string_view text);

}  // namespace torv_package
