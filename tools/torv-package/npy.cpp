// The .npy header is written here, not by a library: the format is a magic string, a
// version, a length and a Python dict literal padded with spaces to 64 bytes, fixed since
// NumPy 1.0, and no library Debian ships writes it from C++.
#include "npy.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "output.hpp"

namespace torv_package::cli {
namespace {

struct Type {
  std::string_view name;
  char kind;  // NumPy's kind: b (bool), i, u, f, c
  std::uint8_t size;
};

// Names of fixed size only: those that mean the same on every platform. float128 and
// longdouble are left out, as NumPy's size for them depends on the machine.
constexpr std::array<Type, 41> types{{
    {"bool", 'b', 1},       {"int8", 'i', 1},       {"uint8", 'u', 1},     {"int16", 'i', 2},
    {"uint16", 'u', 2},     {"int32", 'i', 4},      {"uint32", 'u', 4},    {"int64", 'i', 8},
    {"uint64", 'u', 8},     {"float16", 'f', 2},    {"float32", 'f', 4},   {"float64", 'f', 8},
    {"complex64", 'c', 8},  {"complex128", 'c', 16}, {"half", 'f', 2},     {"single", 'f', 4},
    {"double", 'f', 8},     {"byte", 'i', 1},       {"ubyte", 'u', 1},     {"short", 'i', 2},
    {"ushort", 'u', 2},     {"b1", 'b', 1},         {"i1", 'i', 1},        {"i2", 'i', 2},
    {"i4", 'i', 4},         {"i8", 'i', 8},         {"u1", 'u', 1},        {"u2", 'u', 2},
    {"u4", 'u', 4},         {"u8", 'u', 8},         {"f2", 'f', 2},        {"f4", 'f', 4},
    {"f8", 'f', 8},         {"c8", 'c', 8},         {"c16", 'c', 16},      {"?", 'b', 1},
    {"b", 'i', 1},          {"B", 'u', 1},          {"e", 'f', 2},         {"f", 'f', 4},
    {"d", 'f', 8},
}};

// NumPy's descr of a type (byte order, kind, size: "<f4", "|u1") and its size.
std::optional<std::pair<std::string, std::uint64_t>> descr(std::string_view dtype) {
  char order = '<';  // the device's order
  if (!dtype.empty() && (dtype[0] == '<' || dtype[0] == '>' || dtype[0] == '=' || dtype[0] == '|')) {
    if (dtype[0] == '>') order = '>';
    dtype.remove_prefix(1);
  }
  for (const Type& type : types) {
    if (type.name == dtype) {
      return std::pair(fmt::format("{}{}{}", type.size == 1 ? '|' : order, type.kind, type.size), type.size);
    }
  }
  return std::nullopt;
}

// The number of elements a shape holds; nothing past 64 bits.
std::optional<std::uint64_t> product(std::span<const std::uint32_t> shape) {
  if (std::ranges::find(shape, 0u) != shape.end()) return 0;
  std::uint64_t n = 1;
  for (const std::uint32_t d : shape) {
    if (n > std::numeric_limits<std::uint64_t>::max() / d) return std::nullopt;
    n *= d;
  }
  return n;
}

std::string tuple(std::span<const std::uint64_t> dims) {
  if (dims.size() == 1) return fmt::format("({},)", dims[0]);
  return fmt::format("({})", fmt::join(dims, ", "));
}

std::string header(const std::string& descr, std::span<const std::uint64_t> dims) {
  std::string dict = fmt::format("{{'descr': '{}', 'fortran_order': False, 'shape': {}, }}", descr, tuple(dims));
  // Version 1.0: magic, two version bytes, a 16-bit length; the whole padded with spaces and
  // ended by a newline to a multiple of 64 bytes. A dict of at most 32 dimensions fits.
  constexpr std::size_t lead = 6 + 2 + 2;
  const std::size_t padded = (lead + dict.size() + 1 + 63) / 64 * 64;
  dict.append(padded - lead - dict.size() - 1, ' ');
  dict += '\n';
  const std::size_t length = dict.size();
  std::string out = "\x93NUMPY";
  out += '\x01';
  out += '\x00';
  out += static_cast<char>(length & 0xff);
  out += static_cast<char>(length >> 8);
  return out + dict;
}

// NumPy's most dimensions (NPY_MAXDIMS of NumPy 1).
constexpr std::size_t max_dims = 32;

}  // namespace

std::expected<NpyArray, std::string> npy_array(std::string_view dtype, std::span<const std::uint32_t> shape,
                                               std::uint64_t bytes) {
  const auto type = descr(dtype);
  if (!type) return std::unexpected(fmt::format("dtype {} has no NumPy type", shown(dtype)));
  const auto& [name, item] = *type;
  if (bytes % item != 0) {
    return std::unexpected(fmt::format("its {} bytes are not a whole number of {} items ({} bytes each)", bytes,
                                       shown(dtype), item));
  }
  const std::uint64_t items = bytes / item;
  NpyArray array;
  if (shape.size() <= max_dims && product(shape) == items) {
    const std::vector<std::uint64_t> dims(shape.begin(), shape.end());
    array.header = header(name, dims);
    return array;
  }
  const std::uint64_t flat[] = {items};
  array.header = header(name, flat);
  array.warning =
      shape.size() > max_dims
          ? fmt::format("shape has {} dimensions, more than NumPy's {}; written with shape ({},)", shape.size(),
                        max_dims, items)
          : fmt::format("shape [{}] does not hold its {} bytes ({} {} items); written with shape ({},)",
                        fmt::join(shape, ", "), bytes, items, shown(dtype), items);
  return array;
}

}  // namespace torv_package::cli
