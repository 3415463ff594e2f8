#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace torv_package::cli {

// The NumPy array a binding's bytes make: the .npy header to write before them, and what
// to warn about when its shape could not be used.
struct NpyArray {
  std::string header;
  std::optional<std::string> warning;  // a sentence
};

// The array of `bytes` bytes of element type `dtype` (a NumPy type name or code:
// float32, f4, <i2, uint8...), shaped `shape` when that holds exactly those bytes, else
// one dimension. The error is a sentence: a dtype NumPy has no type for (bfloat16), or
// bytes that are not a whole number of elements.
std::expected<NpyArray, std::string> npy_array(std::string_view dtype, std::span<const std::uint32_t> shape,
                                               std::uint64_t bytes);

}  // namespace torv_package::cli
