#pragma once

#include <charconv>
#include <expected>
#include <limits>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "output.hpp"

namespace torv_package::cli {

// A number from the command line: decimal, or hex after 0x, that fits Number. The error
// is a sentence naming the text.
template <class Number>
std::expected<Number, std::string> parse_number(std::string_view text) {
  std::string_view digits = text;
  int base = 10;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    digits.remove_prefix(2);
    base = 16;
  }
  Number n{};
  const char* end = digits.data() + digits.size();
  const auto [at, error] = std::from_chars(digits.data(), end, n, base);
  if (digits.empty() || error != std::errc() || at != end) {
    return std::unexpected(fmt::format("{} is not a number from 0 to {:#x} (decimal, or hex after 0x)", quoted_word(text),
                                       std::numeric_limits<Number>::max()));
  }
  return n;
}

}  // namespace torv_package::cli
