#pragma once

// Record handles of the C API: a handle holds the bytes of the schema reader of its record,
// which points into the view's message and arena, so that an accessor costs a copy and the
// read itself, with nothing allocated and nothing kept per record.

#include <cstddef>
#include <cstring>
#include <type_traits>

#include <capnp/blob.h>
#include <capnp/list.h>

#include "application.capnp.h"
#include "torv_package/torv_package.h"

namespace torv_package::c_api {

// Handle<tp_segment>::reader is schema::Segment::Reader, and so on: generated with the
// accessors, in c_api_handles.hpp.
template <class H>
struct Handle {};

}  // namespace torv_package::c_api

#include "c_api_handles.hpp"

namespace torv_package::c_api {

template <class H>
using reader_of = typename Handle<H>::reader;

template <class H>
H wrap(const reader_of<H>& reader) noexcept {
  static_assert(std::is_trivially_copyable_v<reader_of<H>> && sizeof(reader_of<H>) <= sizeof(H::opaque) &&
                alignof(reader_of<H>) <= alignof(H));
  H handle{};
  std::memcpy(handle.opaque, &reader, sizeof reader);
  return handle;
}

// A zeroed handle gives a reader of nothing, in which every field reads as its default.
template <class H>
reader_of<H> unwrap(const H& handle) noexcept {
  reader_of<H> reader;
  std::memcpy(&reader, handle.opaque, sizeof reader);
  return reader;
}

// What an accessor gives when reading throws, which a validated view never does.
template <class T>
T fallback() noexcept {
  if constexpr (std::is_same_v<T, tp_text>) {
    return tp_text{"", 0};
  } else {
    return T{};
  }
}

// `get` applied to the handle's reader; nothing thrown gets past the C boundary.
template <class H, class Get>
auto read(const H& handle, Get get) noexcept -> decltype(get(unwrap(handle))) {
  try {
    return get(unwrap(handle));
  } catch (...) {
    return fallback<decltype(get(unwrap(handle)))>();
  }
}

template <class T>
T to_c(capnp::Text::Reader text) noexcept {
  return tp_text{text.cStr(), text.size()};
}
template <class T>
T to_c(capnp::Data::Reader data) noexcept {
  return tp_bytes{data.size() == 0 ? nullptr : data.begin(), data.size()};
}
template <class H>
  requires requires { typename Handle<H>::reader; }
H to_c(const reader_of<H>& record) noexcept {
  return wrap<H>(record);
}

// Element `index` of a list, or the empty value past its end.
template <class T, class List>
T element(const List& list, std::size_t index) {
  if (index >= list.size()) return T{};
  if constexpr (std::is_arithmetic_v<T>) {
    return list[static_cast<unsigned>(index)];
  } else {
    return wrap<T>(list[static_cast<unsigned>(index)]);
  }
}

}  // namespace torv_package::c_api
