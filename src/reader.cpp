#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <capnp/serialize.h>

#include "application.capnp.h"
#include "budget.hpp"
#include "framing.hpp"
#include "path.hpp"
#include "torv_package/application.hpp"
#include "torv_package/events.hpp"
#include "torv_package/schema_table.hpp"
#include "utf8.hpp"

namespace torv_package {
namespace {

// Propagates the error of a Result-returning expression, else binds its value.
#define TORV_TRY(var, expr)                                        \
  auto var##_result = (expr);                                      \
  if (!var##_result) return std::unexpected(std::move(var##_result).error()); \
  auto var = std::move(*var##_result)

// Cap'n Proto charges one word per element of a list of zero-sized elements. Every such
// element becomes a record of at least 8 bytes charged to the memory budget, so a limit
// of the library's default plus four words per message word admits every package whose
// model fits the budget, while a list claiming hundreds of millions of empty elements in
// a small message still fails at once.
constexpr std::uint64_t traversal_floor_words = std::uint64_t{8} << 20;
constexpr std::uint64_t traversal_words_per_message_word = 4;

// Converts one message into the model, charging every allocation to the memory budget
// before it is made and keeping the path of what it converts, so that every error names
// its place. Cap'n Proto accessors and the budget throw kj::Exception; the path then still
// names the field being read. Records are converted field by field in the order of their
// tables (schema_table.hpp), which fixes the order in which faults are found.
class Converter {
 public:
  Converter(std::uint64_t message_bytes, Path& path) : budget_(message_bytes), path_(path) {}

  Result<Application> convert(schema::Application::Reader root);

 private:
  std::unexpected<PackageError> fail(PackageError error) const {
    return std::unexpected(std::move(error).at(path_.str()));
  }

  // The text of member `field`, which `get` obtains, checked; charged to the budget when
  // it is to be copied.
  template <class Get>
  Result<std::string_view> text_view(std::string_view field, Get&& get, bool copied = false) {
    path_.enter(field);
    const capnp::Text::Reader text = get();
    const std::string_view view(text.cStr(), text.size());
    if (auto error = check_utf8(view)) return fail(PackageError(*error));
    if (copied) budget_.text(view.size());
    path_.leave();
    return view;
  }

  // Fills `out`, a value-initialised record, from `in`.
  template <class Record>
  Result<void> fill(Record& out, typename schema_of<Record>::Reader in);

  // The member of `out` that `row` describes.
  template <class Record, class Row>
  Result<void> field(Record& out, typename schema_of<Record>::Reader in, Row row);

  Result<void> check_header(schema::Application::Reader root);

  MemoryBudget budget_;
  Path& path_;
};

#define TORV_CHECK(expr)                                      \
  do {                                                        \
    if (auto ok_ = (expr); !ok_) return std::unexpected(std::move(ok_).error()); \
  } while (false)

template <class Record>
Result<void> Converter::fill(Record& out, typename schema_of<Record>::Reader in) {
  Result<void> status;
  for_each_field<Record>([&](auto row) {
    auto done = field(out, in, row);
    if (!done) status = std::move(done);
    return status.has_value();
  });
  return status;
}

template <class Record, class Row>
Result<void> Converter::field(Record& out, typename schema_of<Record>::Reader in, Row row) {
  using Member = typename Row::member_type;
  Member& member = out.*row.member;
  if constexpr (row.kind == FieldKind::number) {
    member = row.get(in);
  } else if constexpr (row.kind == FieldKind::enumeration) {
    const auto raw = static_cast<std::uint16_t>(row.get(in));
    if (raw >= enumerant_count<Member>()) {
      path_.enter(row.name);
      return fail(PackageError(NotInSchema{raw}));
    }
    member = static_cast<Member>(raw);
  } else if constexpr (row.kind == FieldKind::text) {
    TORV_TRY(view, text_view(row.name, [&] { return row.get(in); }, true));
    member.assign(view);
  } else if constexpr (row.kind == FieldKind::data) {
    path_.enter(row.name);
    const capnp::Data::Reader data = row.get(in);
    budget_.data(data.size());
    member.assign(data.begin(), data.end());
    path_.leave();
  } else if constexpr (row.kind == FieldKind::record) {
    path_.enter(row.name);
    TORV_CHECK(fill(member, row.get(in)));
    path_.leave();
  } else {
    // A list: charged in full before anything is reserved.
    path_.enter(row.name);
    const auto list = row.get(in);
    budget_.list<typename Row::element_type>(list.size());
    member.reserve(list.size());
    for (unsigned i = 0; i < list.size(); ++i) {
      path_.at(i);
      if constexpr (row.kind == FieldKind::number_list) {
        member.push_back(list[i]);
      } else {
        TORV_CHECK(fill(member.emplace_back(), list[i]));
      }
    }
    path_.leave();
  }
  return {};
}

// The header fields, in this order; a mismatch names the first field that differs.
Result<void> Converter::check_header(schema::Application::Reader root) {
  const auto incompatible = [](const char* field) {
    return std::unexpected(PackageError::invalid("incompatible package header").at(field));
  };
  if (root.getSchemaVersion() != supported_schema_version) return incompatible("schema_version");
  TORV_TRY(target, text_view("target", [&] { return root.getTarget(); }));
  if (target != supported_target) return incompatible("target");
  if (root.getTileMemoryBase() != tile_memory_base) return incompatible("tile_memory_base");
  if (root.getTileMemorySize() != tile_memory_size) return incompatible("tile_memory_size");
  return {};
}

Result<Application> Converter::convert(schema::Application::Reader root) {
  TORV_CHECK(check_header(root));
  Application app;
  TORV_CHECK(fill(app, root));
  return app;
}

// Framing and conversion; the message is released before the model is validated, so the
// two are never held together with the validator's working sets. May throw.
Result<Application> read_model(kj::InputStream& input, Path& path, ReadDetails* details) {
  const WordBuffer buffer = read_framed_message(input);
  const std::uint64_t message_words = buffer.size();
  if (details != nullptr) {
    details->message_bytes = message_words * sizeof(capnp::word);
    const RemainingBytes trailing = count_remaining_bytes(input, trailing_scan_bytes);
    details->trailing_bytes = trailing.count;
    details->trailing_bytes_exact = trailing.exact;
  }

  capnp::ReaderOptions options = capnp_reader_options();
  options.traversalLimitInWords = std::min(
      options.traversalLimitInWords,
      traversal_floor_words + traversal_words_per_message_word * message_words);
  capnp::FlatArrayMessageReader message(buffer.words(), options);
  Converter converter(message_words * sizeof(capnp::word), path);
  return converter.convert(message.getRoot<schema::Application>());
}

PackageError out_of_memory() {
  return PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                    kj::heapString("not enough memory to read the package")));
}

// The one boundary where exceptions become errors: Cap'n Proto's and the budget's, and a
// failed allocation, which must not end the caller's process.
Result<Application> read_caught(kj::InputStream& input, ReadDetails* details) {
  Path path;  // empty during framing: framing errors have no location
  try {
    TORV_TRY(app, read_model(input, path, details));
    if (auto valid = app.validate(); !valid) return std::unexpected(std::move(valid).error());
    TORV_EVENT(events::Level::Info, "application package read",
               events::Field{"tiles", std::uint64_t{app.tiles.size()}},
               events::Field{"compiler", app.compiler_version});
    return app;
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)).at(path.str()));
  } catch (const StreamReadError& failure) {
    return std::unexpected(PackageError(std::error_code(failure.error, std::generic_category())));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory().at(path.str()));
  } catch (const std::length_error&) {
    return std::unexpected(out_of_memory().at(path.str()));
  }
}

Result<Application> read_with(kj::Own<kj::InputStream> input, ReadDetails* details) {
  TORV_EVENT(events::Level::Info, "reading application package");
  Result<Application> result = read_caught(*input, details);
  // Released here so that a file is closed before the caller sees the result; a failure
  // to close is reported only when nothing failed before it.
  try {
    input = nullptr;
  } catch (kj::Exception& exception) {
    if (result) result = std::unexpected(PackageError(kj::mv(exception)));
  }
  return result;
}

#undef TORV_TRY
#undef TORV_CHECK

}  // namespace

capnp::ReaderOptions capnp_reader_options() {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = std::numeric_limits<std::uint64_t>::max();
  return options;
}

Result<Application> Application::read(kj::Own<kj::InputStream> input) {
  return read_with(kj::mv(input), nullptr);
}

Result<Application> Application::read(kj::Own<kj::InputStream> input, ReadDetails& details) {
  return read_with(kj::mv(input), &details);
}

}  // namespace torv_package
