#include "writer.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <capnp/serialize.h>
#include <kj/exception.h>

#include "not_in_schema.hpp"
#include "path.hpp"
#include "validate.hpp"
#include "torv_package/schema_table.hpp"
#include "utf8.hpp"

namespace torv_package {
namespace {

template <class S>
constexpr std::uint64_t struct_words = S::_capnpPrivate::dataWordSize + S::_capnpPrivate::pointerCount;

constexpr std::uint64_t bytes_words(std::size_t bytes) { return (bytes + 7) / 8; }
std::uint64_t text_words(const std::string& text) { return text.empty() ? 0 : bytes_words(text.size() + 1); }
// An inline-composite list: one tag word, then the elements.
template <class S, class T>
std::uint64_t list_words(const std::vector<T>& items) {
  return items.empty() ? 0 : 1 + items.size() * struct_words<S>;
}

// Whether a record has fields outside its data section; the size pass skips the
// elements of lists of records that have none.
template <class Record>
constexpr bool holds_pointers = !for_each_field<Record>([](auto row) {
  return row.kind == FieldKind::number || row.kind == FieldKind::enumeration;
});

// Whether a record, or one it holds, has a text or an enum; the encodability check skips
// records that have none.
template <class Record>
consteval bool holds_checked() {
  return !for_each_field<Record>([](auto row) {
    if constexpr (row.kind == FieldKind::text || row.kind == FieldKind::enumeration) {
      return false;
    } else if constexpr (row.kind == FieldKind::record_list) {
      return !holds_checked<typename decltype(row)::element_type>();
    } else if constexpr (row.kind == FieldKind::record) {
      return !holds_checked<typename decltype(row)::member_type>();
    } else {
      return true;
    }
  });
}

// The longest list (and data or text, in bytes) a message can encode.
constexpr std::size_t max_elements = (std::size_t{1} << 29) - 1;

// Element count of a list about to be written; Cap'n Proto takes 32-bit counts, so a
// longer list must be refused here rather than truncated.
template <class T>
unsigned count(const T& items) {
  if (items.size() > max_elements) {
    kj::throwFatalException(kj::Exception(
        kj::Exception::Type::FAILED, __FILE__, __LINE__,
        kj::str("a list of ", items.size(), " elements is longer than a package can hold (",
                max_elements, ")")));
  }
  return static_cast<unsigned>(items.size());
}

capnp::Text::Reader text(const std::string& s) {
  count(s);
  return capnp::Text::Reader(s.data(), s.size());
}

// Words of everything `record` points to: its texts, data and lists, and the records
// these hold, as write_record lays them out.
template <class Record>
std::uint64_t pointed_words(const Record& record, const DataElsewhere& data) noexcept {
  std::uint64_t words = 0;
  for_each_field<Record>([&](auto row) {
    using Row = decltype(row);
    const auto& value = record.*row.member;
    if constexpr (row.kind == FieldKind::text) {
      words += text_words(value);
    } else if constexpr (row.kind == FieldKind::data) {
      words += bytes_words(data.of(value).size());
    } else if constexpr (row.kind == FieldKind::number_list) {
      words += bytes_words(value.size() * sizeof(typename Row::element_type));
    } else if constexpr (row.kind == FieldKind::record_list) {
      using Element = typename Row::element_type;
      words += list_words<schema_of<Element>>(value);
      if constexpr (holds_pointers<Element>) {
        for (const Element& element : value) words += pointed_words(element, data);
      }
    } else if constexpr (row.kind == FieldKind::record) {
      words += struct_words<schema_of<typename Row::member_type>> + pointed_words(value, data);
    }
  });
  return words;
}

// Texts that the reader would refuse, and enum values it would not know, found before
// anything is written, in the reader's order and named as the reader would name them.
class EncodableCheck {
 public:
  template <class Record>
  Result<void> record(const Record& in) {
    Result<void> status;
    for_each_field<Record>([&](auto row) {
      using Row = decltype(row);
      const auto& value = in.*row.member;
      if constexpr (row.kind == FieldKind::text) {
        if (auto error = check_utf8(value)) status = refuse(row.name, PackageError(*error));
      } else if constexpr (row.kind == FieldKind::enumeration) {
        const auto raw = static_cast<std::uint16_t>(value);
        if (raw >= enumerant_count<typename Row::member_type>()) status = refuse(row.name, not_in_schema<typename Row::member_type>(raw));
      } else if constexpr (row.kind == FieldKind::record_list) {
        if constexpr (holds_checked<typename Row::element_type>()) {
          path_.enter(row.name);
          for (std::size_t i = 0; i < value.size() && status; ++i) {
            path_.at(i);
            status = record(value[i]);
          }
          path_.leave();
        }
      } else if constexpr (row.kind == FieldKind::record) {
        if constexpr (holds_checked<typename Row::member_type>()) {
          path_.enter(row.name);
          status = record(value);
          path_.leave();
        }
      }
      return status.has_value();
    });
    return status;
  }

 private:
  std::unexpected<PackageError> refuse(std::string_view field, PackageError error) {
    path_.enter(field);
    return std::unexpected(std::move(error).at(path_.str()));
  }

  Path path_;
};

// Fills `out` from `in` field by field; see write_model.
template <class Record>
void write_record(const Record& in, typename schema_of<Record>::Builder out, std::vector<DataHole>* holes,
                  const DataElsewhere& data) {
  for_each_field<Record>([&](auto row) {
    using Row = decltype(row);
    const auto& value = in.*row.member;
    if constexpr (row.kind == FieldKind::number) {
      row.set(out, value);
    } else if constexpr (row.kind == FieldKind::enumeration) {
      row.set(out, static_cast<typename EnumTable<typename Row::member_type>::schema_type>(value));
    } else if constexpr (row.kind == FieldKind::text) {
      if (!value.empty()) row.set(out, text(value));
    } else if constexpr (row.kind == FieldKind::data) {
      const auto bytes = data.of(value);
      if (bytes.empty()) return;
      if (holes != nullptr) {
        const auto room = row.init(out, count(bytes));
        holes->push_back(DataHole{room.begin(), {bytes.data(), bytes.size()}});
      } else {
        row.set(out, capnp::Data::Reader(bytes.data(), count(bytes)));
      }
    } else if constexpr (row.kind == FieldKind::number_list) {
      if (value.empty()) return;
      auto list = row.init(out, count(value));
      for (unsigned i = 0; i < value.size(); ++i) list.set(i, value[i]);
    } else if constexpr (row.kind == FieldKind::record_list) {
      if (value.empty()) return;
      auto list = row.init(out, count(value));
      for (unsigned i = 0; i < value.size(); ++i) write_record(value[i], list[i], holes, data);
    } else {
      // A nested record is always written, defaults and all.
      write_record(value, row.init(out), holes, data);
    }
  });
}

Result<void> check_encodable(const Application& app) { return EncodableCheck().record(app); }

}  // namespace

std::uint64_t message_words(const Application& app, const DataElsewhere& data) noexcept {
  return 1 + struct_words<schema::Application> + bytes_words(supported_target.size() + 1) + pointed_words(app, data);
}

void write_header(schema::Application::Builder root) {
  root.setSchemaVersion(supported_schema_version);
  root.setTarget(capnp::Text::Reader(supported_target.data(), supported_target.size()));
  root.setTileMemoryBase(tile_memory_base);
  root.setTileMemorySize(tile_memory_size);
}

void write_model(const Application& app, schema::Application::Builder root,
                 std::vector<DataHole>* holes, const DataElsewhere& data) {
  write_record(app, root, holes, data);
}

kj::ArrayPtr<capnp::word> OneSegmentBuilder::allocateSegment(unsigned minimum_words) {
  if (!first_used && minimum_words <= first.size()) {
    first_used = true;
    return {first.data(), first.size()};
  }
  more.emplace_back(std::max<std::size_t>(minimum_words, 1024), WordBuffer::Zeroed::yes);
  return {more.back().data(), more.back().size()};
}

void BuiltMessage::write_to(kj::OutputStream& output) {
  const auto segments = builder->getSegmentsForOutput();
  if (segments.size() != 1) {
    // The size given in advance fell short: copy the data in and write plainly.
    for (const DataHole& hole : holes) {
      std::memcpy(const_cast<kj::byte*>(hole.at), hole.bytes.begin(), hole.bytes.size());
    }
    capnp::writeMessage(output, segments);
    return;
  }
  const auto segment = segments[0].asBytes();
  const std::uint32_t table[2] = {0, static_cast<std::uint32_t>(segments[0].size())};
  std::vector<kj::ArrayPtr<const kj::byte>> pieces;
  pieces.reserve(2 * holes.size() + 2);
  pieces.push_back(kj::arrayPtr(reinterpret_cast<const kj::byte*>(table), sizeof(table)));
  const kj::byte* cursor = segment.begin();
  // Holes were made in order of address; after each, its padding to a word stays zero.
  for (const DataHole& hole : holes) {
    pieces.push_back(kj::arrayPtr(cursor, hole.at));
    pieces.push_back(hole.bytes);
    cursor = hole.at + hole.bytes.size();
  }
  pieces.push_back(kj::arrayPtr(cursor, segment.end()));
  output.write(kj::arrayPtr(pieces.data(), pieces.size()));
}

Result<BuiltMessage> build_message(const Application& app, const DataElsewhere& data) {
  if (auto valid = validate_model(app, data); !valid) return std::unexpected(std::move(valid).error());
  if (auto encodable = check_encodable(app); !encodable) {
    return std::unexpected(std::move(encodable).error());
  }
  try {
    // One zeroed segment for the whole message, so padding stays zero. The room for
    // segment data is never touched: its pages are never even faulted in.
    BuiltMessage message{std::make_unique<OneSegmentBuilder>(std::min<std::uint64_t>(
                             message_words(app, data), std::numeric_limits<unsigned>::max())),
                         {}};
    auto root = message.builder->initRoot<schema::Application>();
    write_header(root);
    write_model(app, root, &message.holes, data);
    return message;
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                                      kj::heapString("not enough memory to write the package"))));
  }
}

Result<void> Application::write(kj::OutputStream& output) const {
  auto message = build_message(*this);
  if (!message) return std::unexpected(std::move(message).error());
  try {
    message->write_to(output);
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)));
  }
  return {};
}

}  // namespace torv_package
