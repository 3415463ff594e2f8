#include "json_writer.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "kind_name.hpp"

namespace torv_package::cli {

void JsonWriter::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (!level.empty) out_.write(level.compact && !one_line_ ? ", " : ",");
  if (!level.compact) {
    out_.write("\n");
    out_.write(std::string(2 * levels_.size(), ' '));
  }
  level.empty = false;
}

void JsonWriter::open(char bracket, bool compact) {
  separate();
  out_.write(std::string_view(&bracket, 1));
  levels_.push_back(Level{one_line_ || compact || (!levels_.empty() && levels_.back().compact)});
}

void JsonWriter::close(char bracket) {
  const Level level = levels_.back();
  levels_.pop_back();
  if (!level.compact && !level.empty) {
    out_.write("\n");
    out_.write(std::string(2 * levels_.size(), ' '));
  }
  out_.write(std::string_view(&bracket, 1));
}

void JsonWriter::key(std::string_view name) {
  string(name);
  out_.write(one_line_ ? ":" : ": ");
  after_key_ = true;
}

void JsonWriter::number(std::uint64_t value) {
  separate();
  out_.print("{}", value);
}

void JsonWriter::literal(std::string_view text) {
  separate();
  out_.write(text);
}

void JsonWriter::begin_raw_string() {
  separate();
  out_.write("\"");
}

void JsonWriter::string(std::string_view text) {
  begin_raw_string();
  string_part(text);
  end_raw_string();
}

void JsonWriter::string_part(std::string_view text) {
  // Written out a piece at a time: a text as long as the package, escaped six-fold,
  // is never held whole.
  constexpr std::size_t piece_bytes = std::size_t{1} << 16;
  std::string escaped;
  escaped.reserve(std::min(text.size(), piece_bytes) + 8);
  for (const char c : text) {
    if (escaped.size() >= piece_bytes) {
      out_.write(escaped);
      escaped.clear();
    }
    switch (c) {
      case '"': escaped += "\\\""; break;
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\t': escaped += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          escaped += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
        } else {
          escaped.push_back(c);  // the package's text is valid UTF-8, which JSON takes as it is
        }
    }
  }
  out_.write(escaped);
}

void error_json(JsonWriter& json, const PackageError& error) {
  json.begin_object();
  json.key("kind");
  json.string(kind_name(error.kind()));
  json.key("location");
  json.string(error.location());
  json.key("debug");
  json.string(json_text(error.debug_string()));
  json.key("message");
  json.string(json_text(error.message()));
  json.end_object();
}

}  // namespace torv_package::cli
