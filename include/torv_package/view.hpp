#pragma once

// A validated, read-only view of a package in place: nothing of the file is copied, and
// segment data is a span into the mapping. Record views carry the model's member names.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "torv_package/application.hpp"
#include "torv_package/error.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package {

template <class Record>
class View;

namespace view_detail {

// The position in Record's table of the row for `Member`.
template <auto Member, class Record, std::size_t I = 0>
consteval std::size_t row_index() {
  static_assert(I < field_count<Record>, "the member has no row in its record's table");
  using Row = std::tuple_element_t<I, std::remove_const_t<decltype(RecordTable<Record>::fields)>>;
  if constexpr (std::is_same_v<typename Row::member_type Record::*, decltype(Member)>) {
    if (std::get<I>(RecordTable<Record>::fields).member == Member) return I;
  }
  if constexpr (I + 1 < field_count<Record>) {
    return row_index<Member, Record, I + 1>();
  } else {
    return I;
  }
}

template <class MemberPointer>
struct RecordOf;
template <class Member, class Record>
struct RecordOf<Member Record::*> {
  using type = Record;
};

}  // namespace view_detail

// A random-access range over a stored list: `size()`, `operator[]`, `begin()`/`end()`.
// Elements are made on access: numbers by value, records as their views.
template <class Element, class Reader>
class ListView {
 public:
  using value_type = Element;
  using size_type = std::size_t;

  class iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using iterator_concept = std::random_access_iterator_tag;
    using value_type = Element;
    using difference_type = std::ptrdiff_t;
    using reference = Element;
    using pointer = void;

    iterator() = default;
    iterator(Reader reader, std::size_t at) : reader_(reader), at_(at) {}
    Element operator*() const { return element(reader_, at_); }
    Element operator[](difference_type n) const { return element(reader_, at_ + n); }
    iterator& operator++() { ++at_; return *this; }
    iterator operator++(int) { iterator old = *this; ++at_; return old; }
    iterator& operator--() { --at_; return *this; }
    iterator operator--(int) { iterator old = *this; --at_; return old; }
    iterator& operator+=(difference_type n) { at_ += n; return *this; }
    iterator& operator-=(difference_type n) { at_ -= n; return *this; }
    friend iterator operator+(iterator it, difference_type n) { return it += n; }
    friend iterator operator+(difference_type n, iterator it) { return it += n; }
    friend iterator operator-(iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const iterator& a, const iterator& b) {
      return static_cast<difference_type>(a.at_) - static_cast<difference_type>(b.at_);
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.at_ == b.at_; }
    friend auto operator<=>(const iterator& a, const iterator& b) { return a.at_ <=> b.at_; }

   private:
    // The list itself, not the range object: an iterator outlives a temporary ListView.
    Reader reader_;
    std::size_t at_ = 0;
  };

  ListView() = default;
  explicit ListView(Reader reader) : reader_(reader) {}

  std::size_t size() const { return reader_.size(); }
  bool empty() const { return size() == 0; }
  Element operator[](std::size_t i) const { return element(reader_, i); }
  Element front() const { return (*this)[0]; }
  Element back() const { return (*this)[size() - 1]; }
  iterator begin() const { return iterator(reader_, 0); }
  iterator end() const { return iterator(reader_, size()); }

 private:
  static Element element(const Reader& reader, std::size_t i) {
    if constexpr (std::is_integral_v<Element>) {
      return reader[static_cast<unsigned>(i)];
    } else {
      return Element(reader[static_cast<unsigned>(i)]);
    }
  }

  Reader reader_;
};

// A stored list of numbers, and of records as their views.
template <class Number>
using NumberListView = ListView<Number, typename capnp::List<Number>::Reader>;
template <class Record>
using RecordListView = ListView<View<Record>, typename capnp::List<schema_of<Record>>::Reader>;

// What a view gives for a member of type Member.
template <class Member>
struct ViewValue {
  using type = Member;  // numbers and enums
};
template <>
struct ViewValue<std::string> {
  using type = std::string_view;
};
template <>
struct ViewValue<std::vector<std::uint8_t>> {
  using type = std::span<const std::uint8_t>;
};
template <class Number>
  requires std::is_integral_v<Number>
struct ViewValue<std::vector<Number>> {
  using type = NumberListView<Number>;
};
template <class Element>
  requires std::is_class_v<Element>
struct ViewValue<std::vector<Element>> {
  using type = RecordListView<Element>;
};

// The part of every record view that the table gives: `value(row)` is the member that a
// row of Record's table describes, as its view type, and `get<&Record::member>()` the same
// found by member. The named accessors are generated, in View<Record>.
template <class Record>
class RecordView {
 public:
  using record_type = Record;
  using reader_type = typename schema_of<Record>::Reader;

  RecordView() = default;
  explicit RecordView(reader_type reader) : reader_(reader) {}

  template <class Row>
  auto value(const Row& row) const {
    using Member = typename Row::member_type;
    if constexpr (Row::kind == FieldKind::number) {
      return static_cast<Member>(row.get(reader_));
    } else if constexpr (Row::kind == FieldKind::enumeration) {
      return static_cast<Member>(static_cast<std::underlying_type_t<Member>>(row.get(reader_)));
    } else if constexpr (Row::kind == FieldKind::text) {
      const capnp::Text::Reader text = row.get(reader_);
      return std::string_view(text.cStr(), text.size());
    } else if constexpr (Row::kind == FieldKind::data) {
      const capnp::Data::Reader data = row.get(reader_);
      return std::span<const std::uint8_t>(data.begin(), data.size());
    } else if constexpr (Row::kind == FieldKind::record) {
      return View<Member>(row.get(reader_));
    } else {
      return typename ViewValue<Member>::type(row.get(reader_));
    }
  }

  template <auto Member>
  auto get() const {
    using Owner = typename view_detail::RecordOf<decltype(Member)>::type;
    static_assert(std::is_same_v<Owner, Record>, "a member of another record");
    return value(std::get<view_detail::row_index<Member, Record>()>(RecordTable<Record>::fields));
  }

  // The schema reader underneath, for code that walks the generated readers itself.
  reader_type reader() const { return reader_; }

 private:
  reader_type reader_;
};

// The member that `row` describes, of a model record or of a record view alike: a walk of
// the schema table serves both.
template <class Record, class Row>
  requires std::is_same_v<typename Row::record_type, Record>
const typename Row::member_type& table_value(const Record& record, const Row& row) {
  return record.*row.member;
}
template <class Record, class Row>
auto table_value(const RecordView<Record>& view, const Row& row) {
  return view.value(row);
}

// `member<&Segment::address>(x)`: the member of a model record or a record view.
template <auto Member, class Record>
  requires std::is_same_v<typename view_detail::RecordOf<decltype(Member)>::type, Record>
const auto& member(const Record& record) {
  return record.*Member;
}
template <auto Member, class Record>
auto member(const RecordView<Record>& view) {
  return view.template get<Member>();
}

}  // namespace torv_package

// View<Record> for every record, with an accessor named after each member, and the
// aliases SegmentView, TileImageView...: generated from the schema.
#include "torv_package/view_accessors.hpp"

namespace torv_package {

// A package read in place and validated as Application::read validates it: the same
// checks in the same order, with the same errors and locations, and the same memory
// budget, counted without building the model: a view refuses what a read would refuse,
// so that walking every record of a view costs no more than reading the model would.
// Validation reads texts and structure only, never segment data.
//
// The accessors are those of View<Application>: `view.tiles()[i].segments()[j].data()` is
// a span into the file. Record views, spans and texts stay valid while the PackageView
// lives, also across a move of it. Several threads may read one view at once.
//
// A file is mapped, not read: if another process shrinks it while it is mapped, touching
// a page past its new end raises SIGBUS. A program that may meet such a file should handle
// that signal (the tools report "package changed while it was read"). A file rewritten in
// place while a view of it lives is read as it is then, unchecked, as caller memory
// changed under from_bytes would be: files are replaced, not rewritten, by write_file.
struct ViewAccess;

class PackageView : public View<Application> {
 public:
  // Maps a regular file read-only and closes it before returning; anything else (a pipe,
  // a character device) is read into one buffer under the reader's framing limits. A
  // failure to open or read is an Io error, as from Application::read_file.
  static Result<PackageView> open(const std::filesystem::path& path);
  // As above, and fills `details` once the message has been framed, also when the
  // package is then refused, as Application::read_file does.
  static Result<PackageView> open(const std::filesystem::path& path, ReadDetails& details);
  // As above, but the package's validation faults, every one of them, go to `faults` and
  // the view is given all the same; reading and framing faults still refuse it. A view
  // with faults holds what the rules refuse (repeated tiles, segments outside the tile),
  // though every access stays within the file.
  static Result<PackageView> open(const std::filesystem::path& path, ReadDetails& details, FaultSink& faults);

  // A view of caller memory, which must stay alive and unchanged while the view lives.
  // Memory that is not 8-byte aligned is copied once, as the message format needs words.
  static Result<PackageView> from_bytes(std::span<const std::byte> bytes);
  // The same, kept alive by `owner` (a Python buffer, say), which the view holds and
  // releases when it and every move of it are gone.
  static Result<PackageView> from_bytes(std::span<const std::byte> bytes, std::shared_ptr<const void> owner);
  // A view of its own buffer.
  static Result<PackageView> from_bytes(std::vector<std::byte> bytes);
  // Both, with the package's validation faults going to `faults` and the view given all
  // the same, as open(path, details, faults) gives it.
  static Result<PackageView> from_bytes(std::span<const std::byte> bytes, std::shared_ptr<const void> owner,
                                        FaultSink& faults);
  static Result<PackageView> from_bytes(std::vector<std::byte> bytes, FaultSink& faults);

  PackageView(PackageView&&) noexcept;
  PackageView& operator=(PackageView&&) noexcept;
  PackageView(const PackageView&) = delete;
  PackageView& operator=(const PackageView&) = delete;
  ~PackageView();

  // Lookups, as Application's give them, through an index of tiles and bindings sorted on
  // the first lookup: O(log n) each after that. Safe from several threads at once, as the
  // other const members are.
  //
  // The image of the tile with physical number `physical`; none when the package has
  // none (the first stored, in a view with faults that repeats the tile).
  std::optional<TileImageView> tile(std::uint32_t physical) const;
  // The binding named `name`, searched in inputs, then outputs, then weights.
  std::optional<BindingView> binding(std::string_view name) const;
  // The tile's memory window (tile_memory_size bytes), as Application::tile_memory.
  Result<std::vector<std::uint8_t>> tile_memory(std::uint32_t physical) const;
  // The binding's bytes, as Application::binding_bytes, refused past the budget of a read
  // of this message (32 MiB + 2.5 x its bytes).
  Result<std::vector<std::uint8_t>> binding_bytes(std::string_view name) const;

  // Validates the view again, as Application::validate(FaultSink&) validates a model.
  void validate(FaultSink& faults) const;

  // Message and trailing byte counts, as a read fills them.
  const ReadDetails& details() const noexcept;

  // The framed message: segment table and segments.
  std::span<const std::uint8_t> message_bytes() const noexcept;

  // The owned model, equal to what Application::read gives for the same bytes; charged
  // to the reader's memory budget like a read.
  Result<Application> to_application() const;

  struct State;

 private:
  friend struct ViewAccess;  // the library's own code over the state
  explicit PackageView(std::unique_ptr<State> state);
  static Result<PackageView> open_checked(const std::filesystem::path& path, ReadDetails& details,
                                          FaultSink* faults);
  // Caller memory (`bytes`, kept alive by `owner`), or `owned` when it is not empty.
  static Result<PackageView> from_bytes_checked(std::span<const std::byte> bytes, std::shared_ptr<const void> owner,
                                                std::vector<std::byte> owned, FaultSink* faults);
  std::unique_ptr<State> state_;
};

}  // namespace torv_package
