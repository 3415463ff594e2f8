// Written here rather than taken from a library: the error must carry both the length of
// the valid prefix and the length of the invalid sequence (absent for a text that ends
// inside a sequence), which none of the available decoders report.
#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace torv_package {
namespace {

bool is_continuation(unsigned char b) noexcept { return (b & 0xc0) == 0x80; }

// Width of the sequence a lead byte opens, 0 for a byte that opens none.
int sequence_width(unsigned char b) noexcept {
  if (b < 0x80) return 1;
  if (b >= 0xc2 && b <= 0xdf) return 2;
  if (b >= 0xe0 && b <= 0xef) return 3;
  if (b >= 0xf0 && b <= 0xf4) return 4;
  return 0;
}

// The allowed range of the second byte depends on the lead byte; this is what rules out
// overlong forms, surrogates and values above U+10FFFF.
bool second_byte_ok(unsigned char lead, unsigned char second) noexcept {
  switch (lead) {
    case 0xe0: return second >= 0xa0 && second <= 0xbf;
    case 0xed: return second >= 0x80 && second <= 0x9f;
    case 0xf0: return second >= 0x90 && second <= 0xbf;
    case 0xf4: return second >= 0x80 && second <= 0x8f;
    default: return is_continuation(second);
  }
}

struct Step {
  std::size_t length;              // bytes of a valid sequence, 0 on error
  std::optional<std::uint8_t> error_len;  // set on error when the text does not end early
};

// Examines the non-ASCII sequence at `s[i]`.
Step examine(const unsigned char* s, std::size_t n, std::size_t i) noexcept {
  const unsigned char lead = s[i];
  const int width = sequence_width(lead);
  if (width == 0) return {0, 1};
  if (i + 1 >= n) return {0, std::nullopt};
  if (!second_byte_ok(lead, s[i + 1])) return {0, 1};
  for (int k = 2; k < width; ++k) {
    if (i + k >= n) return {0, std::nullopt};
    if (!is_continuation(s[i + k])) return {0, static_cast<std::uint8_t>(k)};
  }
  return {static_cast<std::size_t>(width), std::nullopt};
}

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Most package text is ASCII: skip it eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t chunk;
      std::memcpy(&chunk, s + i, 8);
      if (chunk & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const Step step = examine(s, n, i);
    if (step.length == 0) return Utf8Error{i, step.error_len};
    i += step.length;
  }
  return std::nullopt;
}

std::optional<DecodedChar> decode_utf8_char(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  if (s[0] < 0x80) return DecodedChar{s[0], 1};
  const Step step = examine(s, text.size(), 0);
  if (step.length == 0) return std::nullopt;
  char32_t c = s[0] & (0x7f >> step.length);
  for (std::size_t k = 1; k < step.length; ++k) c = (c << 6) | (s[k] & 0x3f);
  return DecodedChar{c, step.length};
}

std::string excerpt(std::string_view text) {
  if (text.size() <= max_quoted_bytes) return std::string(text);
  std::size_t cut = max_quoted_bytes;
  // A character is at most four bytes: never step back further, whatever the bytes are.
  for (int k = 0; k < 3 && cut > 0 && is_continuation(static_cast<unsigned char>(text[cut])); ++k) --cut;
  std::string out(text.substr(0, cut));
  out += "...[";
  out += std::to_string(text.size() - cut);
  out += " more bytes]";
  return out;
}

}  // namespace torv_package
