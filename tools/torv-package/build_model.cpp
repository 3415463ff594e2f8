// The model a `torv-package json --data=hex` or `--data=base64` document holds, walked by
// the schema table so that a field added to the model is read back with no code here.
#include <algorithm>
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

// One JSON value with where its text lies in the document: the parser's own tree keeps
// no positions, and every error names its line and column.
struct Node {
  enum class Type : std::uint8_t { null, boolean, unsigned_number, other_number, string, array, object };
  Type type = Type::null;
  std::size_t begin = 0, end = 0;  // byte offsets of the value's text
  std::uint64_t number = 0;
  std::string text;         // a string's value
  std::string key;          // the member name, for a member of an object
  std::vector<Node> items;  // an array's items or an object's members, in document order
};

// Builds the Node tree from the parser's events. The parser has checked each token by the
// time it is reported, so finding its extent again here is a simple scan.
class TreeBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit TreeBuilder(std::string_view doc) : doc_(doc) {
    if (doc_.starts_with("\xEF\xBB\xBF")) pos_ = 3;  // the parser skips a byte order mark
  }

  Node root;
  std::size_t error_offset = 0;
  std::string error_message;

  bool null() override { return value(Node::Type::null); }
  bool boolean(bool) override { return value(Node::Type::boolean); }
  bool number_integer(number_integer_t) override { return value(Node::Type::other_number); }
  bool number_unsigned(number_unsigned_t n) override {
    return value(Node::Type::unsigned_number, [n](Node& node) { node.number = n; });
  }
  bool number_float(number_float_t, const string_t&) override { return value(Node::Type::other_number); }
  bool string(string_t& s) override {
    return value(Node::Type::string, [&s](Node& node) { node.text = std::move(s); });
  }
  bool binary(binary_t&) override { return value(Node::Type::other_number); }  // not produced by text JSON
  bool start_object(std::size_t) override { return open(Node::Type::object); }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Node::Type::array); }
  bool end_array() override { return close(); }
  bool key(string_t& name) override {
    token_end(token_start());
    key_ = std::move(name);
    return true;
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
    error_offset = position == 0 ? 0 : position - 1;
    // "[json.exception.parse_error.101] parse error at line 1, column 5: syntax error ..."
    std::string_view what = e.what();
    if (const auto column = what.find("column "); column != std::string_view::npos) {
      if (const auto colon = what.find(": ", column); colon != std::string_view::npos) what.remove_prefix(colon + 2);
    } else if (const auto bracket = what.find("] "); bracket != std::string_view::npos) {
      what.remove_prefix(bracket + 2);
    }
    error_message = "not valid JSON: " + std::string(what);
    return false;
  }

 private:
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
  template <class Fill = void (*)(Node&)>
  bool value(
      Node::Type type, Fill fill = [](Node&) {}) {
    Node node;
    node.type = type;
    node.begin = token_start();
    node.end = token_end(node.begin);
    fill(node);
    place(std::move(node));
    return true;
  }
  bool open(Node::Type type) {
    Node node;
    node.type = type;
    node.begin = token_start();
    token_end(node.begin);
    // A package's document nests a few levels; a deeper one is refused before its tree
    // grows deep enough to exhaust the stack.
    if (open_.size() >= max_depth) {
      error_offset = node.begin;
      error_message = fmt::format("document: nested deeper than {} levels", max_depth);
      return false;
    }
    node.key = std::move(key_);
    key_.clear();
    open_.push_back(std::move(node));
    return true;
  }
  bool close() {
    Node node = std::move(open_.back());
    open_.pop_back();
    node.end = token_end(token_start());
    std::string key = std::move(node.key);
    node.key.clear();
    key_ = std::move(key);
    place(std::move(node));
    return true;
  }
  void place(Node node) {
    if (open_.empty()) {
      root = std::move(node);
      return;
    }
    if (open_.back().type == Node::Type::object) node.key = std::move(key_);
    key_.clear();
    open_.back().items.push_back(std::move(node));
  }

  static constexpr std::size_t max_depth = 64;
  std::string_view doc_;
  std::size_t pos_ = 0;
  std::string key_;
  std::vector<Node> open_;
};

// A failure at a place of the document.
struct Failure {
  std::size_t offset;
  std::string place;
  std::string message;
};

class ModelBuilder {
 public:
  ModelBuilder(std::string_view doc, DataForm form) : doc_(doc), form_(form) {}

  template <class Record>
  // Takes strings out of the tree as it goes: a document's data is most of its size.
  void record(Node& node, const std::string& place, Record& out) const {
    if (node.type != Node::Type::object) fail(node, place, "expected an object, got " + got(node));
    for (std::size_t i = 0; i < node.items.size(); ++i) {
      const Node& m = node.items[i];
      const bool known = !for_each_field<Record>([&](auto row) { return row.name != m.key; });
      if (!known) fail(m, join(place, m.key), "unknown member");
      for (std::size_t j = 0; j < i; ++j) {
        if (node.items[j].key == m.key) fail(m, join(place, m.key), "duplicate member");
      }
    }
    for_each_field<Record>([&](auto row) {
      using Row = decltype(row);
      using Member = typename Row::member_type;
      Node* m = find(node, row.name);
      if (m == nullptr) fail(node, place, fmt::format("missing member \"{}\"", row.name));
      const std::string at = join(place, row.name);
      Member& value = out.*row.member;
      if constexpr (row.kind == FieldKind::number) {
        value = number<Member>(*m, at);
      } else if constexpr (row.kind == FieldKind::enumeration) {
        value = enumerant<Member>(*m, at);
      } else if constexpr (row.kind == FieldKind::text) {
        if (m->type != Node::Type::string) fail(*m, at, "expected a string, got " + got(*m));
        value = std::move(m->text);
      } else if constexpr (row.kind == FieldKind::data) {
        value = data(*m, at);
      } else if constexpr (row.kind == FieldKind::number_list) {
        if (m->type != Node::Type::array) fail(*m, at, "expected an array of numbers, got " + got(*m));
        value.reserve(m->items.size());
        for (std::size_t i = 0; i < m->items.size(); ++i) {
          value.push_back(number<typename Row::element_type>(m->items[i], fmt::format("{}[{}]", at, i)));
        }
      } else if constexpr (row.kind == FieldKind::record_list) {
        if (m->type != Node::Type::array) fail(*m, at, "expected an array of objects, got " + got(*m));
        value.resize(m->items.size());
        for (std::size_t i = 0; i < m->items.size(); ++i) record(m->items[i], fmt::format("{}[{}]", at, i), value[i]);
      } else {
        record(*m, at, value);
      }
    });
  }

  [[noreturn]] void fail(const Node& node, const std::string& place, std::string message) const {
    throw Failure{node.begin, place.empty() ? "document" : place, std::move(message)};
  }

 private:
  static std::string join(const std::string& place, std::string_view name) {
    return place.empty() ? std::string(name) : fmt::format("{}.{}", place, name);
  }
  static Node* find(Node& object, std::string_view name) {
    for (Node& m : object.items) {
      if (m.key == name) return &m;
    }
    return nullptr;
  }

  // The value as written, cut short when long, for a message.
  std::string got(const Node& node) const {
    if (node.type == Node::Type::object) return "an object";
    if (node.type == Node::Type::array) return "an array";
    std::string_view text = doc_.substr(node.begin, node.end - node.begin);
    constexpr std::size_t longest = 40;
    if (text.size() <= longest) return shown_text(text);
    std::size_t cut = longest;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return shown_text(text.substr(0, cut)) + "...";
  }
  static std::string shown_text(std::string_view text) {
    const std::string escaped = shown(text);
    // shown() quotes text holding a quote; JSON text is clear enough as written then.
    return escaped == text || text.starts_with('"') ? std::string(text) : escaped;
  }

  template <class Number>
  Number number(const Node& node, const std::string& at) const {
    if (node.type != Node::Type::unsigned_number || node.number > std::numeric_limits<Number>::max()) {
      fail(node, at, fmt::format("expected an unsigned {}-bit number, got {}", 8 * sizeof(Number), got(node)));
    }
    return static_cast<Number>(node.number);
  }

  template <class Enum>
  Enum enumerant(const Node& node, const std::string& at) const {
    const auto names = enumerant_names<Enum>();
    if (node.type == Node::Type::string) {
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == node.text) return static_cast<Enum>(static_cast<std::underlying_type_t<Enum>>(i));
      }
    }
    fail(node, at, fmt::format("expected one of {}, got {}", fmt::join(names, ", "), got(node)));
  }

  std::vector<std::uint8_t> data(Node& node, const std::string& at) const {
    if (node.type == Node::Type::object) {
      fail(node, at,
           "the summary form of data holds no bytes; write the document with json --data=hex or --data=base64");
    }
    const std::string_view form = form_ == DataForm::base64 ? "base64" : "hex";
    if (node.type != Node::Type::string) fail(node, at, fmt::format("expected a {} string, got {}", form, got(node)));
    std::vector<std::uint8_t> out;
    if (form_ == DataForm::base64 ? decode_base64(node.text, out) : decode_hex(node.text, out)) {
      std::string().swap(node.text);
      return out;
    }
    fail(node, at,
         form_ == DataForm::base64
             ? "expected base64 (RFC 4648, padded), got " + got(node)
             : "expected hex digits, two per byte, got " + got(node) + " (a base64 document needs --data=base64)");
  }

  static bool decode_hex(std::string_view text, std::vector<std::uint8_t>& out) {
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
  static bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out) {
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

  std::string_view doc_;
  DataForm form_;
};

}  // namespace

std::expected<Application, BuildError> model_from_json(std::string_view doc, DataForm form) {
  TreeBuilder tree(doc);
  if (!nlohmann::json::sax_parse(doc, &tree)) return std::unexpected(BuildError{tree.error_offset, tree.error_message});
  Application app;
  try {
    ModelBuilder(doc, form).record(tree.root, "", app);
  } catch (const Failure& f) {
    return std::unexpected(BuildError{f.offset, fmt::format("{}: {}", f.place, f.message)});
  }
  return app;
}

}  // namespace torv_package::cli
