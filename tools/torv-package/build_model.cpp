// The model a `torv-package json --data=hex` or `--data=base64` document holds, filled
// straight from the parser's events and walked by the schema table, so that a field added
// to the model is read back with no code here. No tree of the document is built: what the
// model holds is all that grows, and a value that cannot belong to a package (a root that
// is not an object, a member of the wrong type) ends the parse as soon as it is seen.
#include <algorithm>
#include <charconv>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "build_model.hpp"
#include "output.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package::cli {
namespace {

bool decode_hex(std::string_view text, std::vector<std::uint8_t>& out) {
  static constexpr auto values = [] {
    std::array<std::int8_t, 256> v{};
    v.fill(-1);
    for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) v['a' + i] = v['A' + i] = static_cast<std::int8_t>(10 + i);
    return v;
  }();
  if (text.size() % 2 != 0) return false;
  out.resize(text.size() / 2);
  bool valid = true;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int high = values[static_cast<unsigned char>(text[2 * i])];
    const int low = values[static_cast<unsigned char>(text[2 * i + 1])];
    valid &= (high | low) >= 0;
    out[i] = static_cast<std::uint8_t>(high << 4 | (low & 15));
  }
  return valid;
}
bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out) {
  static constexpr auto values = [] {
    std::array<std::int8_t, 256> v{};
    v.fill(-1);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
      v[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    return v;
  }();
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  const std::string_view body = text.substr(0, text.size() - padding);
  out.clear();
  out.reserve(body.size() * 3 / 4);
  std::uint32_t bits = 0;
  int held = 0;
  for (const char c : body) {
    const int v = values[static_cast<unsigned char>(c)];
    if (v < 0) return false;
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> held));
    }
  }
  // Bits left over must be zero, so that each byte string has one spelling.
  return (bits & ((1u << held) - 1)) == 0;
}

// A value as the parser reports it, with where its text lies in the document.
struct Value {
  enum class Type : std::uint8_t { null, boolean, unsigned_number, other_number, string, object, array };
  Type type = Type::null;
  std::size_t begin = 0, end = 0;  // byte offsets of its text; of the opening bracket for a container
  std::uint64_t number = 0;        // an unsigned number's value
  std::string* text = nullptr;     // a string's value, which may be taken
};

class ModelReader;

// An open object or array and what it fills: a record, a list of records or a list of
// numbers. The handlers are those of the frame's kind and element type.
struct Frame {
  bool (*value)(ModelReader&, Frame&, Value&);  // a record member's value, or a list's next item
  bool (*key)(ModelReader&, Frame&, std::string_view name, std::size_t value_at);  // records only
  bool (*end)(ModelReader&, Frame&);
  std::string_view (*row_name)(std::size_t row);  // records only; null for a list
  void* target;                                   // the record or the vector
  std::size_t begin;                              // offset of its opening bracket
  std::size_t at = 0;                             // a record's current row; a list's items so far
  std::uint64_t seen = 0;                         // a record's members so far, a bit per row
};

// Calls `visit(row)` for the row of Record's table at `index`.
template <class Record, class Visitor>
bool with_row(std::size_t index, Visitor&& visit) {
  std::size_t i = 0;
  bool result = false;
  for_each_field<Record>([&](auto row) {
    if (i++ != index) return true;
    result = visit(row);
    return false;
  });
  return result;
}

// Fills the model from the parser's events. Each handler returns false to stop the parse,
// with `error` set.
class ModelReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  ModelReader(std::string_view doc, DataForm form, Application& app) : doc_(doc), form_(form), app_(app) {
    if (doc_.starts_with("\xEF\xBB\xBF")) pos_ = 3;  // the parser skips a byte order mark
  }

  std::optional<BuildError> error;

  bool null() override { return scalar(Value::Type::null); }
  bool boolean(bool) override { return scalar(Value::Type::boolean); }
  bool number_integer(number_integer_t) override { return scalar(Value::Type::other_number); }
  bool number_unsigned(number_unsigned_t n) override { return scalar(Value::Type::unsigned_number, n); }
  bool number_float(number_float_t, const string_t&) override { return scalar(Value::Type::other_number); }
  bool string(string_t& s) override { return scalar(Value::Type::string, 0, &s); }
  bool binary(binary_t&) override { return scalar(Value::Type::other_number); }  // not produced by text JSON
  bool start_object(std::size_t) override { return open(Value::Type::object); }
  bool start_array(std::size_t) override { return open(Value::Type::array); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& name) override {
    token_end(token_start());
    const std::size_t value_at = token_start();
    Frame& top = frames_.back();
    return top.key(*this, top, name, value_at);
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
    // "[json.exception.parse_error.101] parse error at line 1, column 5: syntax error ..."
    std::string_view what = e.what();
    if (const auto column = what.find("column "); column != std::string_view::npos) {
      if (const auto colon = what.find(": ", column); colon != std::string_view::npos) what.remove_prefix(colon + 2);
    } else if (const auto bracket = what.find("] "); bracket != std::string_view::npos) {
      what.remove_prefix(bracket + 2);
    }
    error = BuildError{position == 0 ? 0 : position - 1, "not valid JSON: " + std::string(what)};
    return false;
  }

  // Opens a frame for a container value.
  void push(Frame frame) { frames_.push_back(frame); }

  // Ends the parse with `message` about the value at `offset`, whose place is that of the
  // first `levels` frames' current members and items, then `more`.
  bool fail(std::size_t offset, std::size_t levels, std::string_view more, std::string_view message) {
    std::string place;
    for (std::size_t i = 0; i < levels; ++i) {
      const Frame& f = frames_[i];
      if (f.row_name != nullptr) {
        if (!place.empty()) place += '.';
        place += f.row_name(f.at);
      } else {
        place += fmt::format("[{}]", f.at - 1);
      }
    }
    if (!more.empty()) {
      if (!place.empty()) place += '.';
      place += more;
    }
    error = BuildError{offset, fmt::format("{}: {}", place.empty() ? "document" : place, message)};
    return false;
  }
  // The same, for the value being read.
  bool fail(const Value& value, std::string_view message) { return fail(value.begin, frames_.size(), {}, message); }
  // The same, for the record in the top frame itself.
  bool fail_record(std::size_t offset, std::string_view member, std::string_view message) {
    return fail(offset, frames_.size() - 1, member, message);
  }

  // The value as written, cut short when long, for a message.
  std::string got(const Value& value) const {
    if (value.type == Value::Type::object) return "an object";
    if (value.type == Value::Type::array) return "an array";
    std::string_view text = doc_.substr(value.begin, value.end - value.begin);
    constexpr std::size_t longest = 40;
    if (text.size() <= longest) return shown_text(text);
    std::size_t cut = longest;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return shown_text(text.substr(0, cut)) + "...";
  }

  DataForm form() const { return form_; }

 private:
  static std::string shown_text(std::string_view text) {
    const std::string escaped = shown(text);
    // shown() quotes text holding a quote; JSON text is clear enough as written then.
    return escaped == text || text.starts_with('"') ? std::string(text) : escaped;
  }

  // The parser has checked each token by the time it is reported, so finding its extent
  // again here is a simple scan.
  std::size_t token_start() {
    while (pos_ < doc_.size() && std::string_view(" \t\r\n,:").find(doc_[pos_]) != std::string_view::npos) ++pos_;
    return pos_;
  }
  // Moves past the token at `at` and returns where it ends.
  std::size_t token_end(std::size_t at) {
    std::size_t end = at;
    if (end < doc_.size()) {
      const char c = doc_[end];
      if (c == '"') {
        // The first quote after an even run of backslashes; data strings are long, so
        // the quotes are found with find() rather than byte by byte.
        for (std::size_t quote = doc_.find('"', end + 1);; quote = doc_.find('"', quote + 1)) {
          if (quote == std::string_view::npos) {
            end = doc_.size();
            break;
          }
          std::size_t backslashes = 0;
          while (doc_[quote - 1 - backslashes] == '\\') ++backslashes;
          if (backslashes % 2 == 0) {
            end = quote + 1;
            break;
          }
        }
      } else if (c == '{' || c == '}' || c == '[' || c == ']') {
        ++end;
      } else {
        while (end < doc_.size() &&
               std::string_view("-+.0123456789eEtruefalsn").find(doc_[end]) != std::string_view::npos) {
          ++end;
        }
      }
    }
    pos_ = std::min(end, doc_.size());
    return pos_;
  }

  bool scalar(Value::Type type, std::uint64_t number = 0, std::string* text = nullptr) {
    Value value{type, token_start(), 0, number, text};
    value.end = token_end(value.begin);
    return deliver(value);
  }
  bool open(Value::Type type) {
    Value value{type, token_start()};
    value.end = token_end(value.begin);
    return deliver(value);
  }
  bool close() {
    token_end(token_start());
    Frame& top = frames_.back();
    const bool ok = top.end(*this, top);
    frames_.pop_back();
    return ok;
  }
  bool deliver(Value& value);

  std::string_view doc_;
  DataForm form_;
  Application& app_;
  std::size_t pos_ = 0;
  std::vector<Frame> frames_;
};

// A number written as a string of hex digits after "0x", as addresses are shown
// elsewhere, so that a document edited by hand can keep them so.
std::optional<std::uint64_t> hex_number(const Value& value) {
  if (value.type != Value::Type::string) return std::nullopt;
  const std::string_view text = *value.text;
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
  std::uint64_t n = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data() + 2, end, n, 16);
  if (error != std::errc() || at != end) return std::nullopt;
  return n;
}

template <class Number>
bool read_number(ModelReader& reader, const Value& value, Number& out) {
  const std::optional<std::uint64_t> n =
      value.type == Value::Type::unsigned_number ? std::optional(value.number) : hex_number(value);
  if (!n || *n > std::numeric_limits<Number>::max()) {
    return reader.fail(value, fmt::format("expected an unsigned {}-bit number or a \"0x\" hex string, got {}",
                                          8 * sizeof(Number), reader.got(value)));
  }
  out = static_cast<Number>(*n);
  return true;
}

template <class Enum>
bool read_enumerant(ModelReader& reader, const Value& value, Enum& out) {
  const auto names = enumerant_names<Enum>();
  if (value.type == Value::Type::string) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == *value.text) {
        out = static_cast<Enum>(static_cast<std::underlying_type_t<Enum>>(i));
        return true;
      }
    }
  }
  return reader.fail(value, fmt::format("expected one of {}, got {}", fmt::join(names, ", "), reader.got(value)));
}

bool read_data(ModelReader& reader, Value& value, std::vector<std::uint8_t>& out) {
  if (value.type == Value::Type::object) {
    return reader.fail(
        value, "the summary form of data holds no bytes; write the document with json --data=hex or --data=base64");
  }
  const bool base64 = reader.form() == DataForm::base64;
  if (value.type != Value::Type::string) {
    return reader.fail(value, fmt::format("expected a {} string, got {}", base64 ? "base64" : "hex", reader.got(value)));
  }
  if (base64 ? decode_base64(*value.text, out) : decode_hex(*value.text, out)) return true;
  return reader.fail(value, base64 ? "expected base64 (RFC 4648, padded), got " + reader.got(value)
                                   : "expected hex digits, two per byte, got " + reader.got(value) +
                                         " (a base64 document needs --data=base64)");
}

template <class Record>
Frame record_frame(Record& record, std::size_t begin);

// A list of records: each item opens the frame of a new element.
template <class Element>
Frame record_list_frame(std::vector<Element>& list, std::size_t begin) {
  const auto value = [](ModelReader& reader, Frame& frame, Value& item) {
    ++frame.at;
    if (item.type != Value::Type::object) return reader.fail(item, "expected an object, got " + reader.got(item));
    auto& elements = *static_cast<std::vector<Element>*>(frame.target);
    reader.push(record_frame(elements.emplace_back(), item.begin));
    return true;
  };
  return {value, nullptr, [](ModelReader&, Frame&) { return true; }, nullptr, &list, begin};
}

template <class Number>
Frame number_list_frame(std::vector<Number>& list, std::size_t begin) {
  const auto value = [](ModelReader& reader, Frame& frame, Value& item) {
    ++frame.at;
    return read_number(reader, item, static_cast<std::vector<Number>*>(frame.target)->emplace_back());
  };
  return {value, nullptr, [](ModelReader&, Frame&) { return true; }, nullptr, &list, begin};
}

// The value of the record's member `row`.
template <class Row, class Record>
bool read_member(ModelReader& reader, Row row, Record& record, Value& value) {
  using Member = typename Row::member_type;
  Member& member = record.*row.member;
  if constexpr (row.kind == FieldKind::number) {
    return read_number(reader, value, member);
  } else if constexpr (row.kind == FieldKind::enumeration) {
    return read_enumerant(reader, value, member);
  } else if constexpr (row.kind == FieldKind::text) {
    if (value.type != Value::Type::string) return reader.fail(value, "expected a string, got " + reader.got(value));
    member = std::move(*value.text);
    return true;
  } else if constexpr (row.kind == FieldKind::data) {
    return read_data(reader, value, member);
  } else if constexpr (row.kind == FieldKind::number_list) {
    if (value.type != Value::Type::array) {
      return reader.fail(value, "expected an array of numbers, got " + reader.got(value));
    }
    reader.push(number_list_frame(member, value.begin));
    return true;
  } else if constexpr (row.kind == FieldKind::record_list) {
    if (value.type != Value::Type::array) {
      return reader.fail(value, "expected an array of objects, got " + reader.got(value));
    }
    reader.push(record_list_frame(member, value.begin));
    return true;
  } else {
    if (value.type != Value::Type::object) return reader.fail(value, "expected an object, got " + reader.got(value));
    reader.push(record_frame(member, value.begin));
    return true;
  }
}

// A record: each key names a member of its table, met once; at the end none is missing.
template <class Record>
Frame record_frame(Record& record, std::size_t begin) {
  static_assert(field_count<Record> <= 64, "one bit per member");
  const auto key = [](ModelReader& reader, Frame& frame, std::string_view name, std::size_t value_at) {
    std::size_t row = 0;
    const bool unknown = for_each_field<Record>([&](auto field) {
      if (field.name == name) return false;
      ++row;
      return true;
    });
    if (unknown) return reader.fail_record(value_at, name, "unknown member");
    if (frame.seen & std::uint64_t{1} << row) return reader.fail_record(value_at, name, "duplicate member");
    frame.seen |= std::uint64_t{1} << row;
    frame.at = row;
    return true;
  };
  const auto value = [](ModelReader& reader, Frame& frame, Value& value) {
    return with_row<Record>(frame.at, [&](auto row) {
      return read_member(reader, row, *static_cast<Record*>(frame.target), value);
    });
  };
  const auto end = [](ModelReader& reader, Frame& frame) {
    std::size_t row = 0;
    return for_each_field<Record>([&](auto field) {
      if (!(frame.seen & std::uint64_t{1} << row++)) {
        return reader.fail_record(frame.begin, {}, fmt::format("missing member \"{}\"", field.name));
      }
      return true;
    });
  };
  const auto row_name = [](std::size_t row) {
    std::string_view name;
    with_row<Record>(row, [&](auto field) {
      name = field.name;
      return true;
    });
    return name;
  };
  return {value, key, end, row_name, &record, begin};
}

bool ModelReader::deliver(Value& value) {
  if (!frames_.empty()) {
    Frame& top = frames_.back();
    return top.value(*this, top, value);
  }
  if (value.type != Value::Type::object) return fail(value, "expected an object, got " + got(value));
  push(record_frame(app_, value.begin));
  return true;
}

}  // namespace

std::expected<Application, BuildError> model_from_json(std::string_view doc, DataForm form) {
  Application app;
  ModelReader reader(doc, form, app);
  if (!nlohmann::json::sax_parse(doc, &reader)) return std::unexpected(*reader.error);
  return app;
}

}  // namespace torv_package::cli
