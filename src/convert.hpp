#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <system_error>
#include <string_view>
#include <utility>

#include <capnp/blob.h>
#include <capnp/message.h>

#include "application.capnp.h"
#include "budget.hpp"
#include "data_elsewhere.hpp"
#include "enum_name.hpp"
#include "framing.hpp"
#include "path.hpp"
#include "torv_package/application.hpp"
#include "torv_package/schema_table.hpp"
#include "utf8.hpp"

// The fixed part of the traversal limit below; a build that lowers the memory budget's
// floor lowers this in proportion (the fuzz build does).
#ifndef TORV_TRAVERSAL_FLOOR_WORDS
#define TORV_TRAVERSAL_FLOOR_WORDS (std::uint64_t{8} << 20)
#endif

namespace torv_package {

// Cap'n Proto charges one word per element of a list of zero-sized elements. Every such
// element becomes a record of at least 8 bytes charged to the memory budget, so a limit
// of the library's default plus four words per message word admits every package whose
// model fits the budget, while a list claiming hundreds of millions of empty elements in
// a small message still fails at once.
inline constexpr std::uint64_t traversal_floor_words = TORV_TRAVERSAL_FLOOR_WORDS;
inline constexpr std::uint64_t traversal_words_per_message_word = 4;

// Reader options for a message of `message_words` words: the traversal limit above.
inline capnp::ReaderOptions limited_reader_options(std::uint64_t message_words) {
  capnp::ReaderOptions options = capnp_reader_options();
  options.traversalLimitInWords = std::min(
      options.traversalLimitInWords,
      traversal_floor_words + traversal_words_per_message_word * message_words);
  return options;
}

// Gives the pages of a file mapping back to the kernel once a walk has passed them, so
// that a read holds about the model alone, not the model and the file, and a check of a
// view holds little more than the records it is looking at. Pages are dropped from this
// process only: the file is unchanged, and a page read again is faulted in again.
// Everything below the walk's position is released, not each data member's own pages:
// the kernel maps a file's pages in whole folios (up to megabytes, depending on how the
// page cache got them), so a fault next to a released range would map it again.
class PageRelease {
 public:
  // Released in steps of a few MiB by default: fewer calls, and the folio being read
  // stays mapped.
  static constexpr std::uintptr_t default_step = std::uintptr_t{4} << 20;

  explicit PageRelease(const void* start, std::uintptr_t step = default_step) noexcept
      : released_until_(reinterpret_cast<std::uintptr_t>(start)), step_(step) {}

  // The walk will not come back below `position` (it may, but then pays a fault).
  void passed(const void* position) noexcept {
    static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(position) & ~(page - 1);
    if (end >= released_until_ + step_) {
      madvise(reinterpret_cast<void*>(released_until_), end - released_until_, MADV_DONTNEED);
      released_until_ = end;
    }
  }

 private:
  std::uintptr_t released_until_;
  std::uintptr_t step_;
};

// Walks one message through the schema table, checking what the reader checks (the
// header, UTF-8 of every text, enum ranges, the pointers of every list, struct and blob)
// and, when given a record to fill, converting it into the model. Every allocation the
// model needs is charged to the memory budget before it is made, and charged the same
// by a walk without a record to fill, which allocates nothing: so a view refuses what a
// read refuses, with the same error at the same place, and what walks a view cannot be
// made to walk more records than a read would build. A walk without a record to fill
// touches texts and structure only, never the bytes of data members. The path names
// what is being read, so that every error, thrown by an accessor or returned, names its
// place. Records are walked field by field in table order, which fixes the order in
// which faults are found.
class Converter {
 public:
  Converter(std::uint64_t message_bytes, Path& path, PageRelease* release = nullptr)
      : budget_(message_bytes), path_(path), release_(release) {}

  // Leaves segment data where the message has it: a model's data member stays empty, and
  // `data` gives its bytes in the message, which must outlive the model's use.
  void leave_data_in(DataElsewhere& data) noexcept { elsewhere_ = &data; }

  // Converts into `out`, or only checks when `out` is null.
  Result<void> convert(schema::Application::Reader root, Application* out) {
    if (auto ok = check_header(root); !ok) return ok;
    return fill(out, root);
  }

 private:
  std::unexpected<PackageError> fail(PackageError error) const {
    return std::unexpected(std::move(error).at(path_.str()));
  }

  // The text of member `field`, which `get` obtains, checked; charged to the budget when
  // the model holds it (the header's target it does not).
  template <class Get>
  Result<std::string_view> text_view(std::string_view field, Get&& get, bool copied) {
    path_.enter(field);
    const capnp::Text::Reader text = get();
    const std::string_view view(text.cStr(), text.size());
    if (auto error = check_utf8(view)) return fail(PackageError(*error));
    if (copied) budget_.text(view.size());
    path_.leave();
    return view;
  }

  template <class Record>
  Result<void> fill(Record* out, typename schema_of<Record>::Reader in) {
    Result<void> status;
    for_each_field<Record>([&](auto row) {
      auto done = field(out, in, row);
      if (!done) status = std::move(done);
      return status.has_value();
    });
    return status;
  }

  template <class Record, class Row>
  Result<void> field(Record* out, typename schema_of<Record>::Reader in, Row row);

  Result<void> check_header(schema::Application::Reader root) {
    const auto incompatible = [](const char* field) {
      return std::unexpected(PackageError::invalid("incompatible package header").at(field));
    };
    if (root.getSchemaVersion() != supported_schema_version) return incompatible("schema_version");
    auto target = text_view("target", [&] { return root.getTarget(); }, false);
    if (!target) return std::unexpected(std::move(target).error());
    if (*target != supported_target) return incompatible("target");
    if (root.getTileMemoryBase() != tile_memory_base) return incompatible("tile_memory_base");
    if (root.getTileMemorySize() != tile_memory_size) return incompatible("tile_memory_size");
    return {};
  }

  MemoryBudget budget_;
  Path& path_;
  PageRelease* release_;
  DataElsewhere* elsewhere_ = nullptr;
};

template <class Record, class Row>
Result<void> Converter::field(Record* out, typename schema_of<Record>::Reader in, Row row) {
  using Member = typename Row::member_type;
  Member* member = out == nullptr ? nullptr : &(out->*row.member);
  if constexpr (row.kind == FieldKind::number) {
    if (member != nullptr) *member = row.get(in);
  } else if constexpr (row.kind == FieldKind::enumeration) {
    const auto raw = static_cast<std::uint16_t>(row.get(in));
    if (raw >= enumerant_count<Member>()) {
      path_.enter(row.name);
      return fail(PackageError(not_in_schema<Member>(raw)));
    }
    if (member != nullptr) *member = static_cast<Member>(raw);
  } else if constexpr (row.kind == FieldKind::text) {
    auto view = text_view(row.name, [&] { return row.get(in); }, true);
    if (!view) return std::unexpected(std::move(view).error());
    if (member != nullptr) member->assign(*view);
  } else if constexpr (row.kind == FieldKind::data) {
    path_.enter(row.name);
    const capnp::Data::Reader data = row.get(in);  // checks the pointer, not the bytes
    budget_.data(data.size());
    if (member != nullptr && elsewhere_ == nullptr) {
      member->assign(data.begin(), data.end());
      if (release_ != nullptr) release_->passed(data.end());
    } else {
      if (member != nullptr) elsewhere_->add(*member, {data.begin(), data.size()});
      if (release_ != nullptr) release_->passed(data.begin());
    }
    path_.leave();
  } else if constexpr (row.kind == FieldKind::record) {
    path_.enter(row.name);
    if (auto ok = fill(member, row.get(in)); !ok) return ok;
    path_.leave();
  } else {
    // A list: charged in full before anything is reserved.
    path_.enter(row.name);
    const auto list = row.get(in);
    budget_.list<typename Row::element_type>(list.size());
    if (member != nullptr) member->reserve(list.size());
    if constexpr (row.kind == FieldKind::number_list) {
      // Numbers need no check: the list's pointer was checked when it was read.
      if (member != nullptr) {
        for (unsigned i = 0; i < list.size(); ++i) member->push_back(list[i]);
      }
    } else {
      for (unsigned i = 0; i < list.size(); ++i) {
        path_.at(i);
        if (auto ok = fill(member == nullptr ? nullptr : &member->emplace_back(), list[i]); !ok) return ok;
      }
    }
    path_.leave();
  }
  return {};
}

// Runs `work` (a read, a walk), turning what it throws into an error at the path it had
// reached: Cap'n Proto's and the budget's exceptions, a failed read of a descriptor, and a
// failed allocation, which must not end the caller's process.
template <class Work>
auto guarded(Path& path, Work&& work) -> decltype(work()) {
  const auto out_of_memory = [&] {
    return std::unexpected(PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                                      kj::heapString("not enough memory to read the package")))
                               .at(path.str()));
  };
  try {
    return work();
  } catch (NotAPackage& foreign) {
    return std::unexpected(PackageError::not_a_package(kj::mv(foreign.exception)));
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)).at(path.str()));
  } catch (const StreamReadError& failure) {
    return std::unexpected(PackageError(std::error_code(failure.error, std::generic_category()), "read"));
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  } catch (const std::length_error&) {
    return out_of_memory();
  }
}

}  // namespace torv_package
